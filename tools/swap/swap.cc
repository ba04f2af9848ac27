#include "swap.h"

#include "platform/file.h"
#include "platform/file_move.h"
#include "platform/process.h"
#include "platform/process_list.h"
#include "platform/text.h"
#include "site/install_names.h"

namespace swap {
namespace {

// One process that runs the updater and either started this program or started before it, or
// none. Start times are counted in coarse ticks, so the starter is recognised by its id as well.
int EarlierUpdater(const std::string& updater) {
  const std::uint64_t started = platform::CurrentProcessStartTime();
  const int parent = platform::ParentProcessId();
  const std::string target = platform::ToLowerAnsi(updater);
  for (const platform::ProcessInfo& process : platform::ListProcesses()) {
    if ((process.start_time < started || process.id == parent) &&
        platform::ToLowerAnsi(process.module) == target) {
      return process.id;
    }
  }
  return 0;
}

}  // namespace

bool SwapUpdater(const std::string& folder) {
  const std::string updater = platform::ModulePathOf(folder + "\\" + kUpdaterName);
  while (const int id = EarlierUpdater(updater)) platform::WaitForProcessExit(id, -1);
  const std::string swap = folder + "\\" + kUpdaterSwapName;
  // Through the platform layer: a narrow path in std::filesystem is not the system's text on every
  // system (MinGW reads it as Latin-1), and the install folder may have any name.
  if (!platform::PathExists(swap)) return true;
  return platform::MoveFileReplacing(swap, updater);
}

bool StartUpdater(const std::string& folder, const std::string& arguments) {
  // Quoted: the install folder's path may hold blanks.
  return platform::StartProcess("\"" + folder + "\\" + kUpdaterName + "\"" + arguments, folder);
}

}  // namespace swap
