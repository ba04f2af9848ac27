#include "update/release_state.h"

#include <charconv>
#include <string>

#include "config/config_base.h"
#include "platform/file.h"

const char kReleaseStateName[] = "RV7.state";

namespace {

constexpr char kSerialKey[] = "ReleaseSerial";

}  // namespace

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
