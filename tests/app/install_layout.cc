#include "install_layout.h"

#include <signal.h>

#include "demo_skin.h"

namespace test_support {
namespace {

std::string BinaryPath(const std::string& name) {
  return std::string(VARNE_BINARY_DIR) + "/bin/" + name;
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

Background::Background(const std::filesystem::path& folder, const std::string& command,
                       int seconds) {
  static int count = 0;
  base_ = folder.string() + "-" + std::to_string(++count);
  Run("cd '" + folder.string() + "' && (timeout " + std::to_string(seconds) + " " + command +
      " </dev/null >'" + base_ + ".out' 2>'" + base_ + ".err' & echo $! >'" + base_ +
      ".pid'; wait $!; echo $? >'" + base_ + ".status') 2>/dev/null &");
}

Background::~Background() {
  const std::string pid = ReadFile(base_ + ".pid");
  if (!Ended() && !pid.empty()) kill(std::stoi(pid), SIGTERM);
  for (const char* kept : {".out", ".err", ".pid", ".status"})
    std::filesystem::remove(base_ + kept);
}

int Background::Wait(int seconds) const {
  if (!Eventually([&] { return Ended(); }, seconds)) return -1;
  return std::stoi(ReadFile(base_ + ".status"));
}

ProcessResult RunIn(const std::filesystem::path& folder, const std::string& command, int seconds) {
  const Background run(folder, command, seconds);
  return {run.Wait(seconds + 5), run.Out(), run.Err()};
}

}  // namespace test_support
