#include "app/window_finder.h"

#include <algorithm>

#include "platform/process_list.h"

namespace Util {
namespace {

std::tstring Lowered(const std::tstring& text) {
  std::tstring lower = text;
  lower.ToLower();
  return lower;
}

}  // namespace

WindowFinder::Window WindowFinder::FindWindowByModule(const std::tstring& path) {
  return Search(path);
}

void WindowFinder::ActivateWindowByModule(const std::tstring& path) {
  if (const Window window = Search(path)) desktop_.Activate(window);
}

WindowFinder::Window WindowFinder::Search(const std::tstring& path) {
  // The system reports a module with the letter case of its file on disk and without "." or "..",
  // whatever name the process was started by; the target is put in the same form.
  target_ = path.empty() ? std::tstring() : std::tstring(platform::ModulePathOf(path));
  found_ = false;
  found_window_ = 0;
  if (target_.empty()) return 0;
  windows_ = desktop_.ListWindows();
  processes_ = platform::ListProcesses();
  // Of several matching windows (a game with a second window, a box over the updater's window) the
  // one on top is the one the user sees, and the one to bring forward.
  std::tstring module;
  for (auto window = windows_.rbegin(); window != windows_.rend(); ++window) {
    if (!GetWindowModulePath(window->id, module) || module != target_) continue;
    found_ = true;
    found_window_ = window->id;
    break;
  }
  return found_ ? found_window_ : 0;
}

bool WindowFinder::GetWindowModulePath(Window window, std::tstring& module) {
  if (windows_.empty()) {
    windows_ = desktop_.ListWindows();
    processes_ = platform::ListProcesses();
  }
  for (const platform::TopLevelWindow& listed : windows_) {
    if (listed.id != window) continue;
    for (const platform::ProcessInfo& process : processes_) {
      if (process.id != listed.process_id) continue;
      module = process.module;
      return true;
    }
  }
  return false;
}

bool WindowFinder::IsModuleRunning(const std::tstring& path) const {
  if (path.empty()) return false;
  const std::tstring target = platform::ModulePathOf(path);
  for (const platform::ProcessInfo& process : platform::ListProcesses()) {
    if (process.module == target) return true;
  }
  return false;
}

int WindowFinder::WaitForModuleExit(const std::tstring& path, std::uint32_t timeout_ms) {
  if (path.empty()) return kWaitEnded;
  const std::tstring target = Lowered(platform::ModulePathOf(path));
  const int limit = timeout_ms == kInfinite
                        ? -1
                        : static_cast<int>(std::min<std::uint32_t>(timeout_ms, 0x7FFFFFFF));
  int result = kWaitEnded;
  for (const platform::ProcessInfo& process : platform::ListProcesses()) {
    if (Lowered(process.module) != target) continue;
    result = platform::WaitForProcessExit(process.id, limit) ? kWaitEnded : kWaitTimeout;
  }
  return result;
}

}  // namespace Util
