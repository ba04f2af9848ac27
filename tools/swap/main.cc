// rv7swap_ansi.exe: started by the updater, without arguments, just before it ends. Puts the
// downloaded updater in place and ends; it does not start the updater again. Exit status 0 when the
// new updater is in place or there was none, 1 when it could not be put in place.
#include "base/tstring.h"
#include "swap.h"

int main() {
  std::tstring folder = std::tstring::GetModulePath();
  if (folder.empty()) return 1;
  folder.RemoveFileSpec();
  return swap::SwapUpdater(folder) ? 0 : 1;
}
