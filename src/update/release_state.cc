#include "update/release_state.h"

#include <charconv>
#include <optional>
#include <string>
#include <string_view>

#include "base/exception.h"
#include "platform/file.h"

const char kReleaseStateName[] = "RV7.state";

namespace {

constexpr std::string_view kSerialKey = "ReleaseSerial=";
constexpr std::string_view kLineEnd = "\r\n";

}  // namespace

std::uint64_t InstalledSerial() {
  if (!platform::PathExists(kReleaseStateName)) return 0;
  // The whole line or nothing: the line break proves the digits were not cut short, and a value
  // past 64 bits or in another encoding is no serial this updater wrote.
  const std::optional<std::string> text = platform::ReadWholeFile(kReleaseStateName);
  std::uint64_t serial = 0;
  const std::string_view digits =
      text && text->starts_with(kSerialKey) && text->ends_with(kLineEnd)
          ? std::string_view(*text).substr(kSerialKey.size(),
                                           text->size() - kSerialKey.size() - kLineEnd.size())
          : std::string_view();
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), serial);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    throw DownloadManagerException(
        "Cannot read the installed release (RV7.state is damaged); signed updates stay refused "
        "until it is removed.",
        true);
  }
  return serial;
}

bool RecordInstalledSerial(std::uint64_t serial) {
  const std::string text = std::string(kSerialKey) + std::to_string(serial) + std::string(kLineEnd);
  platform::ReplacementFile file;
  return file.Create(kReleaseStateName) && file.Write(text.data(), text.size()) == text.size() &&
         file.Commit();
}
