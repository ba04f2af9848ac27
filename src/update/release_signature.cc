#include "update/release_signature.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>

#include "base/base64.h"
#include "base/exception.h"
#include "config/config_base.h"
#include "platform/file.h"

const char kSignatureSuffix[] = ".sig";
const char kReleaseStateName[] = "RV7.state";

namespace {

constexpr char kMagic[] = "varne-release-signature 1";
constexpr char kSignatureKey[] = "signature ";
constexpr char kSerialKey[] = "ReleaseSerial";

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
  if (hex.size() != digest.size() * 2) Refuse("signature document is malformed.");
  for (std::size_t i = 0; i < digest.size(); ++i) {
    const std::string_view pair = hex.substr(i * 2, 2);
    if (pair.find_first_not_of("0123456789abcdef") != std::string_view::npos) {
      Refuse("signature document is malformed.");
    }
    std::from_chars(pair.data(), pair.data() + 2, digest[i], 16);
  }
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
  text += "list " + std::to_string(release.list_size) + " " + HexOf(release.list_sha256) + "\n";
  for (const auto& file : release.files) text += "file " + HexOf(file) + "\n";
  return text;
}

ReleaseSignature ParseSignedPart(const std::vector<std::string_view>& lines) {
  if (lines.size() < 4 || lines[0] != kMagic) Refuse("signature document is malformed.");
  ReleaseSignature release;
  release.serial = NumberOf<std::uint64_t>(ValueOf(lines[1], "serial"));
  release.expires = TimeOf(ValueOf(lines[2], "expires"));
  const std::string_view list = ValueOf(lines[3], "list");
  const std::size_t blank = list.find(' ');
  if (blank == std::string_view::npos) Refuse("signature document is malformed.");
  release.list_size = NumberOf<std::uint64_t>(list.substr(0, blank));
  release.list_sha256 = DigestOf(list.substr(blank + 1));
  for (std::size_t i = 4; i < lines.size(); ++i) {
    release.files.push_back(DigestOf(ValueOf(lines[i], "file")));
  }
  return release;
}

// Holds a small document as it arrives, refusing it past a limit.
class DocumentSink : public IHttpBodySink {
 public:
  explicit DocumentSink(std::size_t limit) : limit_(limit) {}
  void OnBegin(bool announced, std::uint32_t length) override {
    if (announced && length > limit_) RefuseSize();
  }
  void OnData(const std::uint8_t* bytes, std::size_t size) override {
    if (size > limit_ - text_.size()) RefuseSize();
    text_.append(reinterpret_cast<const char*>(bytes), size);
  }
  void OnEnd(std::uint32_t) override {}
  const std::string& Text() const { return text_; }
  // The transfer ended because the sink refused the document, not because it failed.
  bool Refused() const { return refused_; }

 private:
  [[noreturn]] void RefuseSize() {
    refused_ = true;
    Refuse("signature document is too large.");
  }

  std::size_t limit_;
  std::string text_;
  bool refused_ = false;
};

}  // namespace

ReleaseSignature FetchVerifiedRelease(HttpClient& client, const std::tstring& list_url,
                                      const ListDigest& list, std::size_t list_entries,
                                      const std::tstring& public_key,
                                      std::uint64_t installed_serial) {
  DocumentSink document(kMaxSignatureSize);
  try {
    client.Request(list_url + kSignatureSuffix, document);
  } catch (const Exception& failure) {
    // Only the transfer's own failures mean the document could not be had. A stop, the one
    // interruption a transfer marks as no error, stays a stop; the sink's refusal stays its own.
    if (!failure.IsError() || document.Refused()) throw;
    throw DownloadManagerException("signature missing : " + failure.GetText(), true);
  }
  const ReleaseSignature release = VerifyRelease(document.Text(), public_key);
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  CheckRelease(release, list, list_entries,
               std::chrono::duration_cast<std::chrono::seconds>(now).count(), installed_serial);
  return release;
}

std::string HexOf(const platform::Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const std::uint8_t byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
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

std::string SignRelease(const ReleaseSignature& release,
                        const std::vector<std::string>& private_pems) {
  const std::string text = SignedPart(release);
  std::string signatures;
  for (const std::string& pem : private_pems) {
    const std::vector<std::uint8_t> signature = platform::SignP256(pem, text);
    if (signature.empty()) throw Exception("a private key cannot sign (not a P-256 key?)", true);
    signatures += kSignatureKey + EncodeBase64(signature) + "\n";
  }
  return text + signatures;
}

ReleaseSignature VerifyRelease(std::string_view document, const std::tstring& public_key) {
  const auto key = DecodeBase64(public_key);
  if (!key || key->size() != platform::kP256PublicKeySize) Refuse("public key is not valid.");
  if (document.size() > kMaxSignatureSize) Refuse("signature document is too large.");
  std::vector<std::string_view> lines = Lines(document);
  std::vector<std::string_view> signatures;
  std::size_t signed_size = document.size();
  for (; !lines.empty() && lines.back().starts_with(kSignatureKey); lines.pop_back()) {
    signed_size -= lines.back().size() + 1;
    signatures.push_back(lines.back().substr(sizeof kSignatureKey - 1));
  }
  const std::string_view signed_part = document.substr(0, signed_size);
  const bool verified = std::any_of(signatures.begin(), signatures.end(), [&](auto text) {
    const auto signature = DecodeBase64(text);
    return signature && platform::VerifyP256(*key, signed_part, *signature);
  });
  if (!verified) Refuse("signature does not verify.");
  return ParseSignedPart(lines);
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

std::uint64_t InstalledSerial() {
  ConfigBase state;
  state.Load(kReleaseStateName);
  const std::string text = state.LoadString(kSerialKey, "0");
  std::uint64_t serial = 0;
  std::from_chars(text.data(), text.data() + text.size(), serial);
  return serial;
}

bool RecordInstalledSerial(std::uint64_t serial) {
  const std::string text = std::string(kSerialKey) + "=" + std::to_string(serial) + "\r\n";
  platform::ReplacementFile file;
  return file.Create(kReleaseStateName) && file.Write(text.data(), text.size()) == text.size() &&
         file.Commit();
}
