#include "site/release_state.h"

#include <optional>
#include <string>
#include <string_view>

#include "base/base64.h"
#include "base/exception.h"
#include "platform/file.h"

const char kReleaseStateName[] = "RV7.state";

namespace {

constexpr std::string_view kSerialKey = "ReleaseSerial=";
// A root document's signed part in base64, or before any root document the configured keys.
constexpr std::string_view kRootKey = "TrustRoot=";
constexpr std::string_view kKeysKey = "TrustedKeys=";
constexpr std::string_view kLineEnd = "\r\n";

[[noreturn]] void RefuseDamaged() {
  throw Caused(DownloadManagerException(
                   "Cannot read the installed release (RV7.state is damaged); signed updates "
                   "stay refused until it is removed.",
                   true),
               ErrorCause::kInstall, {kReleaseStateName, {}});
}

// The value of a "<key><value>\r\n" line at the start of text, which then starts after it. The
// line break proves the value was not cut short.
std::string_view TakeLine(std::string_view& text, std::string_view key) {
  const std::size_t end = text.find(kLineEnd);
  if (!text.starts_with(key) || end == std::string_view::npos || end == key.size()) {
    RefuseDamaged();
  }
  const std::string_view value = text.substr(key.size(), end - key.size());
  text.remove_prefix(end + kLineEnd.size());
  return value;
}

}  // namespace

InstallState ReadInstallState() {
  if (!platform::PathExists(kReleaseStateName)) return {};
  const std::optional<std::string> file = platform::ReadWholeFile(kReleaseStateName);
  if (!file) RefuseDamaged();
  std::string_view text = *file;
  InstallState state;
  // A value past 64 bits or in another encoding is no state this updater wrote.
  try {
    state.serial = NumberOf(TakeLine(text, kSerialKey));
    if (text.starts_with(kKeysKey)) {
      state.root = RootOfKeys(ParseKeySet(TakeLine(text, kKeysKey)));
    } else if (!text.empty()) {
      const auto root = DecodeBase64(TakeLine(text, kRootKey));
      if (!root) RefuseDamaged();
      state.root = ParseRoot(std::string(root->begin(), root->end()));
    }
    if (!text.empty()) RefuseDamaged();
  } catch (const DownloadManagerException&) {
    RefuseDamaged();
  }
  return state;
}

bool RecordInstallState(const InstallState& state) {
  std::string text = std::string(kSerialKey) + std::to_string(state.serial) + std::string(kLineEnd);
  if (state.root && state.root->version == 0) {
    text += std::string(kKeysKey) + KeySetText(state.root->keys) + std::string(kLineEnd);
  } else if (state.root) {
    const std::string root = RootText(*state.root);
    text +=
        std::string(kRootKey) + EncodeBase64({root.begin(), root.end()}) + std::string(kLineEnd);
  }
  platform::ReplacementFile file;
  return file.Create(kReleaseStateName) && file.Write(text.data(), text.size()) == text.size() &&
         file.Commit();
}
