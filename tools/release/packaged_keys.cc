#include "packaged_keys.h"

#include <filesystem>
#include <optional>
#include <vector>

#include "base/ascii.h"
#include "base/exception.h"
#include "config/config_base.h"
#include "key_files.h"
#include "platform/path.h"
#include "site/install_names.h"
#include "site/release_signature.h"
#include "storage/varne_file_system.h"

namespace fs = std::filesystem;

namespace {

// Far above any settings file; a larger entry is not one.
constexpr std::uint64_t kMaxSettingsSize = 1 << 20;

// The game package at the top of the image, under any case of its name.
std::optional<fs::path> GamePackage(const std::string& image) {
  const std::string name = ascii::Lowered(kGamePackageName);
  for (const fs::directory_entry& entry :
       fs::directory_iterator(platform::ToFilesystemPath(image))) {
    if (entry.is_regular_file() &&
        ascii::EqualsIgnoringCase(platform::FilesystemPathText(entry.path().filename()), name)) {
      return entry.path();
    }
  }
  return std::nullopt;
}

std::vector<unsigned char> ReadEntry(VarneFileSystem& system, const char* name) {
  IFile* file = system.OpenFile(name);
  try {
    const std::uint64_t size = file->GetSize();
    if (size > kMaxSettingsSize) throw Exception(std::string("too large: ") + name, true);
    std::vector<unsigned char> bytes(size);
    std::uint32_t read = 0;
    file->Read(bytes.data(), static_cast<std::uint32_t>(size), &read);
    if (read != size) throw Exception(std::string("cannot read ") + name, true);
    system.CloseFile(file);
    return bytes;
  } catch (...) {
    system.CloseFile(file);
    throw;
  }
}

// The value of serverside_publickey in the package's dialog settings; empty when it names none.
std::string PackagedPublicKey(const fs::path& package) {
  VarneFileSystem system;
  system.ReadPackage(platform::ToInternalPath(platform::FilesystemPathText(package)));
  FileInfoCellEx entry;
  if (!system.LookupEntry(kDialogConfigName, &entry)) return {};
  ConfigBase settings;
  settings.AddEntries(ReadEntry(system, kDialogConfigName));
  return settings.LoadString("serverside_publickey", "");
}

std::optional<KeySet> KeySetOf(const std::string& text) {
  try {
    return ParseKeySet(text);
  } catch (const Exception&) {
    return std::nullopt;
  }
}

}  // namespace

void CheckPackagedKeys(const std::string& image, const SigningPlan& plan) {
  const std::optional<fs::path> package = GamePackage(image);
  if (!package) return;
  const std::string named = PackagedPublicKey(*package);
  const std::optional<KeySet> keys = KeySetOf(named);
  const std::string says = std::string(kGamePackageName) + "'s " + kDialogConfigName +
                           " names in serverside_publickey " +
                           (named.empty() ? std::string("no key") : "\"" + named + "\"");
  if (plan.root.version > 0 && keys != plan.root.keys) {
    throw Exception(says + ", not the keys of the site's root " +
                        std::to_string(plan.root.version) + " (" + KeySetText(plan.root.keys) +
                        "): new keys need a root rotation first (varne-release root)",
                    true);
  }
  if (plan.root.version == 0 && (!keys || KeysHeld(*keys, plan.keys) < keys->threshold)) {
    throw Exception(says +
                        ", which the --sign keys do not sign for: players who install it "
                        "would refuse every release after it",
                    true);
  }
}
