#include "swap.h"

#include <filesystem>

#include "platform/file.h"
#include "platform/file_move.h"
#include "platform/process_list.h"
#include "platform/text.h"
#include "update/install_names.h"

namespace swap {
namespace {

// One process that runs the updater and started before this program, or none.
int EarlierUpdater(const std::string& updater) {
  const std::uint64_t started = platform::CurrentProcessStartTime();
  const std::string target = platform::ToLowerAnsi(updater);
  for (const platform::ProcessInfo& process : platform::ListProcesses()) {
    if (process.start_time < started && platform::ToLowerAnsi(process.module) == target)
      return process.id;
  }
  return 0;
}

}  // namespace

bool SwapUpdater(const std::string& folder) {
  const std::string updater = platform::ModulePathOf(folder + "\\" + kUpdaterName);
  while (const int id = EarlierUpdater(updater)) platform::WaitForProcessExit(id, -1);
  const std::string swap = folder + "\\" + kUpdaterSwapName;
  std::error_code error;
  if (!std::filesystem::exists(platform::ResolvePath(swap), error)) return true;
  return platform::MoveFileReplacing(swap, updater);
}

}  // namespace swap
