// rv7swap_ansi.exe: started by the updater just before it ends. Puts the downloaded updater in
// place and ends. Given "--restart" and the updater's own options, it then starts the new updater
// with them, so that it goes on where the ending one stopped; without arguments it starts nothing.
// Exit status 0 when the new updater is in place or there was none, 1 when it could not be put in
// place.
#include <cstring>
#include <string>

#include "base/tstring.h"
#include "site/install_names.h"
#include "swap.h"

int main(int argc, char** argv) {
  std::tstring folder = std::tstring::GetModulePath();
  if (folder.empty()) return 1;
  folder.RemoveFileSpec();
  if (!swap::SwapUpdater(folder)) return 1;
  if (argc > 1 && std::strcmp(argv[1], kSwapRestartOption) == 0) {
    std::string arguments;
    for (int i = 2; i < argc; ++i) arguments += std::string(" ") + argv[i];
    // Not waited for: the updater started waits for this program to end before anything else.
    swap::StartUpdater(folder, arguments);
  }
  return 0;
}
