#include "site/release_signature.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <optional>

#include "base/base64.h"
#include "base/exception.h"
#include "base/hex.h"

namespace {

constexpr char kMagic[] = "varne-release-signature 1";
constexpr char kSignatureKey[] = "signature ";
// A signature is 64 bytes, 88 characters of base64; a key 65 bytes, 88 characters.
constexpr std::size_t kSignatureTextSize = (platform::kP256SignatureSize + 2) / 3 * 4;
constexpr std::size_t kKeyTextSize = (platform::kP256PublicKeySize + 2) / 3 * 4;

[[noreturn]] void Refuse(const char* text) { throw DownloadManagerException(text, true); }

// The last line of a text that ends with a line feed, without it.
std::string_view LastLine(std::string_view text) {
  const std::size_t before =
      text.size() < 2 ? std::string_view::npos : text.rfind('\n', text.size() - 2);
  const std::size_t start = before == std::string_view::npos ? 0 : before + 1;
  return text.substr(start, text.size() - 1 - start);
}

std::vector<std::uint8_t> DecodeKey(std::string_view text) {
  auto key = text.size() == kKeyTextSize ? DecodeBase64(text) : std::nullopt;
  if (!key || key->size() != platform::kP256PublicKeySize) Refuse("public key is not valid.");
  return std::move(*key);
}

platform::Sha256Digest DigestOf(std::string_view hex) {
  platform::Sha256Digest digest{};
  if (!DecodeHex(hex, digest)) Refuse("signature document is malformed.");
  return digest;
}

std::string SignedPart(const ReleaseSignature& release) {
  std::string text = std::string(kMagic) + "\n";
  text += "serial " + std::to_string(release.serial) + "\n";
  text += "expires " + UtcText(release.expires) + "\n";
  text += SizeAndDigestLine("list", {release.list_size, release.list_sha256});
  for (const auto& file : release.files) text += "file " + EncodeHex(file) + "\n";
  return text;
}

ReleaseSignature ParseSignedPart(const std::vector<std::string_view>& lines) {
  if (lines.size() < 4 || lines[0] != kMagic) Refuse("signature document is malformed.");
  ReleaseSignature release;
  release.serial = NumberOf(ValueOf(lines[1], "serial"));
  release.expires = TimeOf(ValueOf(lines[2], "expires"));
  const ListDigest list = SizeAndDigestOf(lines[3], "list");
  release.list_size = list.size;
  release.list_sha256 = list.sha256;
  for (std::size_t i = 4; i < lines.size(); ++i) {
    release.files.push_back(DigestOf(ValueOf(lines[i], "file")));
  }
  return release;
}

}  // namespace

std::vector<std::string_view> DocumentLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) Refuse("signature document is malformed.");
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::string_view ValueOf(std::string_view line, std::string_view key) {
  if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ' ') {
    Refuse("signature document is malformed.");
  }
  return line.substr(key.size() + 1);
}

std::uint64_t NumberOf(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    Refuse("signature document is malformed.");
  }
  return value;
}

std::int64_t TimeOf(std::string_view text) {
  int year = 0;
  unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char zone = 0;
  const std::string copy(text);
  if (text.size() != 20 ||
      std::sscanf(copy.c_str(), "%4d-%2u-%2uT%2u:%2u:%2u%c", &year, &month, &day, &hour, &minute,
                  &second, &zone) != 7 ||
      zone != 'Z' || hour > 23 || minute > 59 || second > 59) {
    Refuse("signature document is malformed.");
  }
  const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(month),
                                         std::chrono::day(day)};
  if (!date.ok()) Refuse("signature document is malformed.");
  const auto days = std::chrono::sys_days(date).time_since_epoch();
  return std::chrono::duration_cast<std::chrono::seconds>(days).count() + hour * 3600 +
         minute * 60 + second;
}

std::string KeyLine(std::string_view name, const std::vector<std::uint8_t>& key) {
  return std::string(name) + " " + EncodeBase64(key) + "\n";
}

std::vector<std::uint8_t> KeyOf(std::string_view line, std::string_view name) {
  return DecodeKey(ValueOf(line, name));
}

bool IsValidKeySet(const KeySet& set) {
  for (auto key = set.keys.begin(); key != set.keys.end(); ++key) {
    if (std::find(std::next(key), set.keys.end(), *key) != set.keys.end()) return false;
  }
  return set.threshold > 0 && set.threshold <= set.keys.size() && set.keys.size() <= kMaxSignatures;
}

KeySet ParseKeySet(std::string_view text) {
  KeySet set;
  const std::size_t colon = text.find(':');
  std::string_view keys = text;
  set.threshold = 1;
  if (colon != std::string_view::npos) {
    const std::string_view count = text.substr(0, colon);
    const auto [end, error] =
        std::from_chars(count.data(), count.data() + count.size(), set.threshold);
    if (error != std::errc() || end != count.data() + count.size())
      Refuse("public key is not valid.");
    keys.remove_prefix(colon + 1);
  }
  for (std::size_t at = 0; at <= keys.size() && set.keys.size() <= kMaxSignatures;) {
    const std::size_t comma = std::min(keys.find(',', at), keys.size());
    set.keys.push_back(DecodeKey(keys.substr(at, comma - at)));
    at = comma + 1;
  }
  if (!IsValidKeySet(set)) Refuse("public key is not valid.");
  return set;
}

std::string KeySetText(const KeySet& keys) {
  std::string text = std::to_string(keys.threshold) + ":";
  for (const auto& key : keys.keys) text += EncodeBase64(key) + ",";
  text.pop_back();
  return text;
}

std::string UtcText(std::int64_t seconds) {
  using namespace std::chrono;
  const sys_seconds time{std::chrono::seconds(seconds)};
  const auto day = floor<days>(time);
  const year_month_day date(day);
  const hh_mm_ss clock(time - day);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

std::string SignDocument(const std::string& text, const std::vector<std::string>& private_pems) {
  std::string signatures;
  for (const std::string& pem : private_pems) {
    const std::vector<std::uint8_t> signature = platform::SignP256(pem, text);
    if (signature.empty()) throw Exception("a private key cannot sign (not a P-256 key?)", true);
    signatures += kSignatureKey + EncodeBase64(signature) + "\n";
  }
  return text + signatures;
}

std::string SignRelease(const ReleaseSignature& release,
                        const std::vector<std::string>& private_pems) {
  return SignDocument(SignedPart(release), private_pems);
}

SignedDocument SplitSignatures(std::string_view document, std::size_t max_size) {
  if (document.size() > max_size) Refuse("signature document is too large.");
  if (!document.empty() && document.back() != '\n') Refuse("signature document is malformed.");
  // Until a signature verifies, the document is a stranger's: it is walked back over its few
  // signature lines only, and the signed part is digested once for all of them, so that what an
  // unsigned document costs grows with its bytes alone.
  SignedDocument split{document, {}, {}};
  for (std::string_view line; !split.signed_part.empty() &&
                              (line = LastLine(split.signed_part)).starts_with(kSignatureKey);) {
    if (split.signatures.size() == kMaxSignatures) {
      Refuse("signature document has too many signatures.");
    }
    split.signatures.push_back(line.substr(sizeof kSignatureKey - 1));
    split.signed_part.remove_suffix(line.size() + 1);
  }
  split.digest = platform::Sha256Of(split.signed_part);
  return split;
}

bool SignedBy(const SignedDocument& document, const KeySet& keys) {
  std::vector<std::vector<std::uint8_t>> signatures;
  for (const std::string_view text : document.signatures) {
    auto signature = text.size() == kSignatureTextSize ? DecodeBase64(text) : std::nullopt;
    if (signature) signatures.push_back(std::move(*signature));
  }
  // Each key counts once however many of the lines it signed.
  const auto signed_with = [&](const std::vector<std::uint8_t>& key) {
    return std::any_of(signatures.begin(), signatures.end(), [&](const auto& signature) {
      return platform::VerifyP256Digest(key, document.digest, signature);
    });
  };
  std::size_t count = 0;
  for (const auto& key : keys.keys) {
    if (count < keys.threshold && signed_with(key)) ++count;
  }
  return keys.threshold > 0 && count >= keys.threshold;
}

std::vector<std::string_view> VerifiedLines(std::string_view document, const KeySet& keys,
                                            std::size_t max_size) {
  const SignedDocument split = SplitSignatures(document, max_size);
  if (!SignedBy(split, keys)) Refuse("signature does not verify.");
  return DocumentLines(split.signed_part);
}

ListDigest SizeAndDigestOf(std::string_view line, std::string_view key) {
  const std::string_view value = ValueOf(line, key);
  const std::size_t blank = value.find(' ');
  if (blank == std::string_view::npos) Refuse("signature document is malformed.");
  return {NumberOf(value.substr(0, blank)), DigestOf(value.substr(blank + 1))};
}

std::string SizeAndDigestLine(std::string_view key, const ListDigest& digest) {
  return std::string(key) + " " + std::to_string(digest.size) + " " + EncodeHex(digest.sha256) +
         "\n";
}

ReleaseSignature VerifyRelease(std::string_view document, const KeySet& keys) {
  return ParseSignedPart(VerifiedLines(document, keys, kMaxSignatureSize));
}

std::optional<ReleaseSignature> ReadRelease(std::string_view document) {
  try {
    return ParseSignedPart(DocumentLines(SplitSignatures(document, kMaxSignatureSize).signed_part));
  } catch (const Exception&) {
    return std::nullopt;
  }
}

std::int64_t SigningTimeOf(const ReleaseSignature& release) {
  // From 2001 to 2200: any other serial counts builds rather than seconds.
  constexpr std::uint64_t kFirst = 1'000'000'000, kLast = 7'258'118'400;
  return release.serial >= kFirst && release.serial <= kLast
             ? static_cast<std::int64_t>(release.serial)
             : 0;
}

void CheckRelease(const ReleaseSignature& release, const ListDigest& list, std::size_t list_entries,
                  std::int64_t now, std::uint64_t installed_serial) {
  if (release.expires <= now) {
    throw Caused(DownloadManagerException("release expired.", true), ErrorCause::kPublisher);
  }
  if (release.serial < installed_serial) Refuse("older release than installed.");
  if (release.list_size != list.size || release.list_sha256 != list.sha256 ||
      release.files.size() != list_entries) {
    Refuse("file list does not match its signature.");
  }
}
