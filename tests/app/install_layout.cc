#include "install_layout.h"

#include <cstdio>
#include <sys/wait.h>

#include "local_servers.h"
#include "platform/text.h"

namespace test_support {
namespace {

void PutLittleEndian(std::string& bytes, std::uint32_t value, int size) {
  for (int i = 0; i < size; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string CommandOutput(const std::filesystem::path& path) {
  std::string text = ReadFile(path);
  std::filesystem::remove(path);
  return text;
}

}  // namespace

std::string BinaryPath(const std::string& name) { return std::string(VARNE_BINARY_DIR) + "/bin/" + name; }

std::string SkinBmp(int width, int height, int border) {
  const int stride = (width * 3 + 3) / 4 * 4;
  std::string bmp = "BM";
  PutLittleEndian(bmp, 54 + stride * height, 4);
  PutLittleEndian(bmp, 0, 4);
  PutLittleEndian(bmp, 54, 4);
  PutLittleEndian(bmp, 40, 4);
  PutLittleEndian(bmp, width, 4);
  PutLittleEndian(bmp, height, 4);
  PutLittleEndian(bmp, 1, 2);
  PutLittleEndian(bmp, 24, 2);
  for (int i = 0; i < 6; ++i) PutLittleEndian(bmp, 0, 4);
  for (int y = 0; y < height; ++y) {
    std::string row;
    for (int x = 0; x < width; ++x) {
      const bool key = x < border || y < border || x >= width - border || y >= height - border;
      row += key ? std::string("\xFF\x00\xFF", 3) : std::string("\x60\x30\x10", 3);
    }
    row.resize(stride, '\0');
    bmp += row;
  }
  return bmp;
}

std::string Utf16Le(const std::string& utf8) {
  std::string bytes = "\xFF\xFE";
  for (const char16_t unit : platform::Utf8ToWide(utf8)) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

void Pack(const std::filesystem::path& content, const std::filesystem::path& package) {
  Run(BinaryPath("vpk") + " pack '" + content.string() + "' '" + package.string() + "' >/dev/null");
}

void LayOutInstall(const std::filesystem::path& folder, const std::string& list_url,
                   bool with_config) {
  namespace fs = std::filesystem;
  fs::copy_file(BinaryPath("RV7WIN9XME.EXE"), folder / "RV7WIN9XME.EXE");
  fs::copy_file(BinaryPath("sample_game"), folder / "game.exe");
  TempFolder content("varne-package-content");
  if (with_config) {
    WriteFile(content.GetPath() / "dlgconfig.conf",
              Utf16Le("main_image=skin.bmp\r\n"
                      "runfilename=game.exe\r\n"
                      "serverside_url=" + list_url + "\r\n"
                      "main_progress_x=20\r\nmain_progress_y=20\r\nmain_progress_width=200\r\n"
                      "main_progress_height=12\r\n"
                      "task_progress_x=20\r\ntask_progress_y=40\r\ntask_progress_width=200\r\n"
                      "task_progress_height=12\r\n"
                      "task_edit_x=20\r\ntask_edit_y=60\r\ntask_edit_width=200\r\n"
                      "task_edit_height=16\r\n"
                      "main_btn_x=20\r\nmain_btn_y=90\r\nmain_btn_width=90\r\nmain_btn_height=24\r\n"
                      "quit_btn_x=130\r\nquit_btn_y=90\r\nquit_btn_width=90\r\nquit_btn_height=24\r\n"));
  }
  WriteFile(content.GetPath() / "skin.bmp", SkinBmp(240, 130, 4));
  fs::copy_file(BinaryPath("rv7swap_ansi.exe"), content.GetPath() / "rv7swap_ansi.exe");
  Pack(content.GetPath(), folder / "RV7.VPK");
}

ProcessResult RunIn(const std::filesystem::path& folder, const std::string& command, int seconds) {
  // Beside the folder, so that the folder holds only what the command wrote.
  const std::string out = folder.string() + ".out";
  const std::string err = folder.string() + ".err";
  const int status = std::system(("cd '" + folder.string() + "' && timeout " + std::to_string(seconds) +
                                  " " + command + " </dev/null >'" + out + "' 2>'" + err + "'")
                                     .c_str());
  ProcessResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = CommandOutput(out);
  result.err = CommandOutput(err);
  return result;
}

}  // namespace test_support
