#include "app/system_processes.h"

#include <algorithm>
#include <climits>

#include "platform/desktop_windows.h"
#include "platform/process.h"
#include "platform/process_list.h"

namespace {

std::tstring Lowered(std::tstring text) {
  text.ToLower();
  return text;
}

}  // namespace

bool SystemProcesses::Start(const std::tstring& command_line, const std::tstring& folder) {
  return platform::StartProcess(command_line, folder);
}

bool SystemProcesses::IsRunning(const std::tstring& module) {
  if (module.empty()) return false;
  const std::string target = platform::ModulePathOf(module);
  return std::ranges::any_of(platform::ListProcesses(), [&](const platform::ProcessInfo& process) {
    return process.module == target;
  });
}

bool SystemProcesses::WaitForExit(const std::tstring& module, std::chrono::milliseconds limit) {
  if (module.empty()) return true;
  const std::tstring target = Lowered(platform::ModulePathOf(module));
  const int timeout_ms = limit < std::chrono::milliseconds::zero()
                             ? -1
                             : static_cast<int>(std::min<std::int64_t>(limit.count(), INT_MAX));
  bool ended = true;
  for (const platform::ProcessInfo& process : platform::ListProcesses()) {
    if (Lowered(process.module) != target) continue;
    ended = platform::WaitForProcessExit(process.id, timeout_ms);
  }
  return ended;
}

bool SystemProcesses::HasDesktop() { return platform::WindowSystem().HasDisplay(); }

IWindowSearch::Window SystemProcesses::FindWindow(const std::tstring& module) {
  if (module.empty()) return 0;
  // The system reports a module with the letter case of its file on disk and without "." or "..",
  // whatever name the process was started by; the target is put in the same form.
  const std::string target = platform::ModulePathOf(module);
  const std::vector<platform::TopLevelWindow> windows = platform::WindowSystem().ListWindows();
  if (windows.empty()) return 0;
  const std::vector<platform::ProcessInfo> processes = platform::ListProcesses();
  const auto runs_target = [&](const platform::TopLevelWindow& window) {
    return std::ranges::any_of(processes, [&](const platform::ProcessInfo& process) {
      return process.id == window.process_id && process.module == target;
    });
  };
  // Of several matching windows (a game with a second window, a box over the updater's window) the
  // one on top, the last in stacking order, is the one the user sees and the one to bring forward.
  // A hidden one counts only when none is shown: the program runs, with nothing to bring forward.
  auto found = std::find_if(windows.rbegin(), windows.rend(), [&](const auto& window) {
    return !window.hidden && runs_target(window);
  });
  if (found == windows.rend()) found = std::find_if(windows.rbegin(), windows.rend(), runs_target);
  return found != windows.rend() ? found->id : 0;
}

void SystemProcesses::Activate(Window window) { platform::WindowSystem().Activate(window); }
