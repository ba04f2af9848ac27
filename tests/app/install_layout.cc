#include "install_layout.h"

#include "demo_skin.h"

namespace test_support {

void LayOutInstall(const std::filesystem::path& folder, const std::string& list_url,
                   const std::string& extra_config, const std::string& game) {
  namespace fs = std::filesystem;
  fs::create_directories(folder);
  fs::copy_file(ProgramFile("RV7WIN9XME.EXE"), folder / "RV7WIN9XME.EXE");
  fs::copy_file(ProgramFile(game), folder / "game.exe");
  TempFolder content("varne-package-content");
  WriteFile(
      content.GetPath() / "dlgconfig.conf",
      demo::Utf16LeFromAscii(demo::DialogConfig("skin.bmp", "game.exe", list_url) + extra_config));
  WriteFile(content.GetPath() / "skin.bmp", demo::SkinBmp());
  fs::copy_file(ProgramFile("rv7swap_ansi.exe"), content.GetPath() / "rv7swap_ansi.exe");
  Run(VARNE_BINARY_DIR "/bin/vpk pack '" + content.GetPath().string() + "' '" +
      (folder / "RV7.VPK").string() + "' >/dev/null");
}

}  // namespace test_support
