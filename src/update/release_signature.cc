#include "update/release_signature.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <optional>

#include "base/base64.h"
#include "base/exception.h"
#include "base/hex.h"

const char kSignatureSuffix[] = ".sig";

namespace {

constexpr char kMagic[] = "varne-release-signature 1";
constexpr char kSignatureKey[] = "signature ";
// A signature is 64 bytes, 88 characters of base64.
constexpr std::size_t kSignatureTextSize = (platform::kP256SignatureSize + 2) / 3 * 4;

[[noreturn]] void Refuse(const char* text) { throw DownloadManagerException(text, true); }

// The document's lines, cut at LF; a document must end with one.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) Refuse("signature document is malformed.");
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  return lines;
}

// The last line of a text that ends with a line feed, without it.
std::string_view LastLine(std::string_view text) {
  const std::size_t before =
      text.size() < 2 ? std::string_view::npos : text.rfind('\n', text.size() - 2);
  const std::size_t start = before == std::string_view::npos ? 0 : before + 1;
  return text.substr(start, text.size() - 1 - start);
}

// The value after "<key> " on a line, or refuses the document.
std::string_view ValueOf(std::string_view line, std::string_view key) {
  if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ' ') {
    Refuse("signature document is malformed.");
  }
  return line.substr(key.size() + 1);
}

template <typename Number>
Number NumberOf(std::string_view text) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty() || text[0] == '-') {
    Refuse("signature document is malformed.");
  }
  return value;
}

platform::Sha256Digest DigestOf(std::string_view hex) {
  platform::Sha256Digest digest{};
  if (!DecodeHex(hex, digest)) Refuse("signature document is malformed.");
  return digest;
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
  release.serial = NumberOf<std::uint64_t>(ValueOf(lines[1], "serial"));
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

std::vector<std::string_view> VerifiedLines(std::string_view document,
                                            const std::tstring& public_key, std::size_t max_size) {
  const auto key = DecodeBase64(public_key);
  if (!key || key->size() != platform::kP256PublicKeySize) Refuse("public key is not valid.");
  if (document.size() > max_size) Refuse("signature document is too large.");
  if (!document.empty() && document.back() != '\n') Refuse("signature document is malformed.");
  // Until a signature verifies, the document is a stranger's: it is walked back over its few
  // signature lines only, and the signed part is digested once for all of them, so that what an
  // unsigned document costs grows with its bytes alone.
  std::string_view signed_part = document;
  std::vector<std::string_view> signatures;
  for (std::string_view line;
       !signed_part.empty() && (line = LastLine(signed_part)).starts_with(kSignatureKey);) {
    if (signatures.size() == kMaxSignatures) Refuse("signature document has too many signatures.");
    signatures.push_back(line.substr(sizeof kSignatureKey - 1));
    signed_part.remove_suffix(line.size() + 1);
  }
  const platform::Sha256Digest digest = platform::Sha256Of(signed_part);
  const bool verified = std::any_of(signatures.begin(), signatures.end(), [&](auto text) {
    const auto signature = text.size() == kSignatureTextSize ? DecodeBase64(text) : std::nullopt;
    return signature && platform::VerifyP256Digest(*key, digest, *signature);
  });
  if (!verified) Refuse("signature does not verify.");
  return Lines(signed_part);
}

ListDigest SizeAndDigestOf(std::string_view line, std::string_view key) {
  const std::string_view value = ValueOf(line, key);
  const std::size_t blank = value.find(' ');
  if (blank == std::string_view::npos) Refuse("signature document is malformed.");
  return {NumberOf<std::uint64_t>(value.substr(0, blank)), DigestOf(value.substr(blank + 1))};
}

std::string SizeAndDigestLine(std::string_view key, const ListDigest& digest) {
  return std::string(key) + " " + std::to_string(digest.size) + " " + EncodeHex(digest.sha256) +
         "\n";
}

ReleaseSignature VerifyRelease(std::string_view document, const std::tstring& public_key) {
  return ParseSignedPart(VerifiedLines(document, public_key, kMaxSignatureSize));
}

void CheckRelease(const ReleaseSignature& release, const ListDigest& list, std::size_t list_entries,
                  std::int64_t now, std::uint64_t installed_serial) {
  if (release.expires <= now) Refuse("release expired.");
  if (release.serial < installed_serial) Refuse("older release than installed.");
  if (release.list_size != list.size || release.list_sha256 != list.sha256 ||
      release.files.size() != list_entries) {
    Refuse("file list does not match its signature.");
  }
}
