// varne-demo-skin <folder> <game command line> <list URL>: writes the sample skin "skin.bmp" and
// its "dlgconfig.conf" into folder, ready to be packed into a game's package.
#include <cstdio>
#include <fstream>
#include <string>

#include "demo_skin.h"

namespace {

bool Write(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << bytes;
  return static_cast<bool>(file.flush());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: varne-demo-skin <folder> <game command line> <list URL>\n", stderr);
    return 64;
  }
  const std::string folder = argv[1];
  const std::string config = demo::DialogConfig("skin.bmp", argv[2], argv[3]);
  if (!Write(folder + "/skin.bmp", demo::SkinBmp()) ||
      !Write(folder + "/dlgconfig.conf", demo::Utf16LeFromAscii(config))) {
    std::perror(folder.c_str());
    return 1;
  }
  return 0;
}
