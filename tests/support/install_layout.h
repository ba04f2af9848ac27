// Install folders of the real updater for the tests that run its executables: the updater, its
// package ".\RV7.vpk" (a UTF-16 "dlgconfig.conf" and the sample skin, as the demo uses them, and
// the swap program, packed with vpk), and a stand-in game.
#pragma once

#include <filesystem>
#include <string>

#include "demo_skin.h"
#include "site/install_names.h"
#include "support/scratch.h"

namespace test_support {

// Lays out a complete install of the build under test in folder (created if need be), with the
// stand-in game (its program `game`) as "game.exe". extra_config lines ("key=value\r\n") are added
// to the configuration.
inline void LayOutInstall(const std::filesystem::path& folder, const std::string& list_url,
                          const std::string& extra_config = "",
                          const std::string& game = "sample_game") {
  namespace fs = std::filesystem;
  fs::create_directories(folder);
  fs::copy_file(ProgramFile("RV7WIN9XME.EXE"), folder / "RV7WIN9XME.EXE");
  fs::copy_file(ProgramFile(game), folder / "game.exe");
  TempFolder content("varne-package-content");
  content.Write(
      kDialogConfigName,
      demo::Utf16LeFromAscii(demo::DialogConfig("skin.bmp", "game.exe", list_url) + extra_config));
  content.Write("skin.bmp", demo::SkinBmp());
  fs::copy_file(ProgramFile("rv7swap_ansi.exe"), content.Native("rv7swap_ansi.exe"));
  Run(VARNE_BINARY_DIR "/bin/vpk pack '" + content.GetPath().string() + "' '" +
      (folder / "RV7.VPK").string() + "' >/dev/null");
}

}  // namespace test_support
