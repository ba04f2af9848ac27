#include "install_layout.h"

#include <sys/wait.h>

#include <cstdio>

#include "demo_skin.h"
#include "local_servers.h"

namespace test_support {
namespace {

std::string BinaryPath(const std::string& name) {
  return std::string(VARNE_BINARY_DIR) + "/bin/" + name;
}

// The whole output a command left in a file, which goes.
std::string CommandOutput(const std::filesystem::path& path) {
  std::string text = ReadFile(path);
  std::filesystem::remove(path);
  return text;
}

}  // namespace

void LayOutInstall(const std::filesystem::path& folder, const std::string& list_url,
                   bool with_config, const std::string& extra_config, const std::string& game) {
  namespace fs = std::filesystem;
  fs::create_directories(folder);
  fs::copy_file(BinaryPath("RV7WIN9XME.EXE"), folder / "RV7WIN9XME.EXE");
  fs::copy_file(BinaryPath(game), folder / "game.exe");
  TempFolder content("varne-package-content");
  if (with_config) {
    WriteFile(content.GetPath() / "dlgconfig.conf",
              demo::Utf16LeFromAscii(demo::DialogConfig("skin.bmp", "game.exe", list_url) +
                                     extra_config));
  }
  WriteFile(content.GetPath() / "skin.bmp", demo::SkinBmp());
  fs::copy_file(BinaryPath("rv7swap_ansi.exe"), content.GetPath() / "rv7swap_ansi.exe");
  Run(BinaryPath("vpk") + " pack '" + content.GetPath().string() + "' '" +
      (folder / "RV7.VPK").string() + "' >/dev/null");
}

Snapshot Take(const std::filesystem::path& folder) {
  Snapshot files;
  for (const auto& item : std::filesystem::recursive_directory_iterator(folder)) {
    if (item.is_regular_file()) {
      files[std::filesystem::relative(item.path(), folder).string()] = ReadFile(item.path());
    }
  }
  return files;
}

ProcessResult RunIn(const std::filesystem::path& folder, const std::string& command, int seconds) {
  // Beside the folder, so that the folder holds only what the command wrote.
  const std::string out = folder.string() + ".out";
  const std::string err = folder.string() + ".err";
  const int status =
      std::system(("cd '" + folder.string() + "' && timeout " + std::to_string(seconds) + " " +
                   command + " </dev/null >'" + out + "' 2>'" + err + "'")
                      .c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, CommandOutput(out), CommandOutput(err)};
}

}  // namespace test_support
