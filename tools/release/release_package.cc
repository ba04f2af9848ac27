#include "release_package.h"

#include <filesystem>
#include <optional>
#include <vector>

#include "base/ascii.h"
#include "base/exception.h"
#include "config/config_base.h"
#include "key_files.h"
#include "platform/file_stamp.h"
#include "platform/path.h"
#include "site/install_names.h"
#include "site/release_signature.h"
#include "storage/varne_file_system.h"

namespace fs = std::filesystem;

namespace {

// Far above any settings file; a larger entry is not one.
constexpr std::uint64_t kMaxSettingsSize = 1 << 20;

// The package's dialog settings as the updater reads them, and whether the package holds the skin
// image they name, or why it cannot be read at all. Throws Exception when it holds no settings.
struct PackagedSettings {
  ConfigBase settings;
  bool empty = true;
  bool holds_skin = false;
  std::string unreadable;  // why the package cannot be read; empty when it can
};

PackagedSettings ReadPackagedSettings(const fs::path& package) {
  PackagedSettings read;
  VarneFileSystem system;
  try {
    system.ReadPackage(platform::ToInternalPath(platform::FilesystemPathText(package)));
  } catch (const Exception& failure) {
    read.unreadable = failure.GetText();
    return read;
  }
  FileInfoCellEx entry;
  if (!system.LookupEntry(kDialogConfigName, &entry)) {
    throw Exception(std::string(kGamePackageName) + " holds no " + kDialogConfigName +
                        ": players' updaters cannot start",
                    true);
  }
  read.settings.AddEntries(ReadEntry(system, kDialogConfigName));
  read.empty = read.settings.Empty();
  const std::string skin = read.settings.LoadString("main_image", "");
  read.holds_skin = !skin.empty() && system.LookupEntry(skin.c_str(), &entry);
  return read;
}

std::optional<KeySet> KeySetOf(const std::string& text) {
  try {
    return ParseKeySet(text);
  } catch (const Exception&) {
    return std::nullopt;
  }
}

// The keys the package names, against what the build signs with.
void CheckKeys(const std::string& named, const SigningPlan* plan) {
  const std::string says = std::string(kGamePackageName) + "'s " + kDialogConfigName +
                           " names in serverside_publickey " +
                           (named.empty() ? std::string("no key") : "\"" + named + "\"");
  if (plan == nullptr) {
    if (named.empty()) return;
    throw Exception(says +
                        ", but the build is unsigned: every player with that key refuses it; "
                        "sign it with --sign",
                    true);
  }
  const std::optional<KeySet> keys = KeySetOf(named);
  if (plan->root.version > 0 && keys != plan->root.keys) {
    throw Exception(says + ", not the keys of root " + std::to_string(plan->root.version) +
                        ", which this build signs under: the line must read "
                        "serverside_publickey=" +
                        KeySetText(plan->root.keys) +
                        " (new keys need a root rotation first (varne-release root); build "
                        "--write-keys writes the line)",
                    true);
  }
  if (plan->root.version == 0 && (!keys || KeysHeld(*keys, plan->keys) < keys->threshold)) {
    throw Exception(says +
                        ", which the --sign keys do not sign for: players who install it "
                        "would refuse every release after it",
                    true);
  }
}

// The port and path of an "http://host[:port]/path" URL; nothing for another form.
std::optional<std::pair<std::string, std::string>> PortAndPath(const std::string& url) {
  constexpr std::string_view kScheme = "http://";
  if (!ascii::Lowered(url.substr(0, kScheme.size())).starts_with(kScheme)) return std::nullopt;
  const std::string rest = url.substr(kScheme.size());
  const std::size_t slash = std::min(rest.find('/'), rest.size());
  const std::string authority = rest.substr(0, slash);
  const std::size_t colon = authority.rfind(':');
  return std::make_pair(colon == std::string::npos ? "80" : authority.substr(colon + 1),
                        slash == rest.size() ? "/" : rest.substr(slash));
}

void CheckListUrl(const std::string& url, const PackageExpectations& expected,
                  std::vector<std::string>& warnings) {
  const std::string says = std::string(kGamePackageName) + "'s serverside_url \"" + url + "\"";
  const auto parts = PortAndPath(url);
  const std::string port = expected.listen.substr(expected.listen.rfind(':') + 1);
  if (url.empty()) {
    warnings.push_back(std::string(kGamePackageName) +
                       " names no serverside_url: players' updaters have no site to ask");
  } else if (!parts) {
    warnings.push_back(says + " is not an http:// URL");
  } else if (parts->second != expected.list_path) {
    warnings.push_back(says + " asks for the path " + parts->second +
                       ", but the site is built for --path " + expected.list_path);
  } else if (parts->first != port) {
    warnings.push_back(says + " asks port " + parts->first +
                       ", but the site is built for --listen " + expected.listen +
                       " (right only behind a server that forwards it)");
  }
}

}  // namespace

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

std::vector<std::string> CheckReleasePackage(const std::string& image,
                                             const PackageExpectations& expected) {
  const std::optional<fs::path> package = GamePackage(image);
  if (!package) return {};
  PackagedSettings read = ReadPackagedSettings(*package);
  if (!read.unreadable.empty()) {
    // A signed build must know the keys it hands out; an unsigned one is told what players meet.
    if (expected.plan != nullptr) throw Exception(read.unreadable, true);
    return {std::string(kGamePackageName) +
            " is not a package players' updaters read: " + read.unreadable};
  }
  if (read.empty) {
    throw Exception(std::string(kGamePackageName) + "'s " + kDialogConfigName +
                        " reads as empty: save it as UTF-16 or UTF-8 text",
                    true);
  }
  ConfigBase& settings = read.settings;
  CheckKeys(settings.LoadString("serverside_publickey", ""), expected.plan);
  const std::string game = settings.LoadString("serverside_game", "");
  if (expected.plan != nullptr && expected.plan->root.version > 0 && !game.empty() &&
      game != expected.plan->root.game) {
    throw Exception(std::string(kGamePackageName) + "'s serverside_game \"" + game +
                        "\" is not the game of the site's roots, \"" + expected.plan->root.game +
                        "\": players would refuse the site",
                    true);
  }
  std::vector<std::string> warnings;
  CheckListUrl(settings.LoadString("serverside_url", ""), expected, warnings);
  const std::string skin = settings.LoadString("main_image", "");
  const std::string folder = platform::ToInternalPath(image) + "\\";
  if (!read.holds_skin && (skin.empty() || !platform::StampOf(folder + skin))) {
    warnings.push_back(std::string(kGamePackageName) + "'s main_image \"" + skin +
                       "\" is neither in it nor in the image: players see an image load error");
  }
  const std::string program = settings.LoadString("runfilename", "");
  if (program.empty() || !platform::StampOf(folder + program)) {
    warnings.push_back(std::string(kGamePackageName) + "'s runfilename \"" + program +
                       "\" is not in the image: the updater has no game to start");
  }
  return warnings;
}
