// Finds other processes by the full path of their main module: their top-level windows, and
// their end. One finder serves one question; it opens the desktop connection for that question.
#pragma once

#include <cstdint>
#include <vector>

#include "base/tstring.h"
#include "platform/desktop_windows.h"
#include "platform/process_list.h"

namespace Util {

class WindowFinder {
 public:
  using Window = platform::WindowId;  // 0 is none
  static constexpr std::uint32_t kInfinite = 0xFFFFFFFF;
  // What WaitForModuleExit returns: the awaited process ended (or nothing was awaited), or the
  // time ran out first.
  static constexpr int kWaitEnded = 0;
  static constexpr int kWaitTimeout = 258;

  WindowFinder() = default;
  virtual ~WindowFinder() = default;
  WindowFinder(const WindowFinder&) = delete;
  WindowFinder& operator=(const WindowFinder&) = delete;

  // The top-most top-level window of a process whose main module is `path` (letter case as on
  // disk), minimised or on another desktop included, or 0. An empty path finds nothing.
  Window FindWindowByModule(const std::tstring& path);
  // The same search; a window found is restored, then brought to the front and activated.
  void ActivateWindowByModule(const std::tstring& path);
  // Waits until every process whose main module is `path`, without regard to letter case, has
  // ended, each at most timeout_ms (kInfinite: no limit). The last wait's result.
  int WaitForModuleExit(const std::tstring& path, std::uint32_t timeout_ms);
  // The main module of the process that owns `window`; false when it cannot be read.
  bool GetWindowModulePath(Window window, std::tstring& module);

  // Whether there is a desktop at all: without one no process has a window.
  bool HasDisplay() const { return desktop_.HasDisplay(); }
  // Whether a process whose main module is `path` (compared as FindWindowByModule does) runs.
  bool IsModuleRunning(const std::tstring& path) const;

 private:
  Window Search(const std::tstring& path);

  platform::WindowSystem desktop_;
  // What the last search saw, so that each window's owner is looked up without asking again.
  std::vector<platform::TopLevelWindow> windows_;
  std::vector<platform::ProcessInfo> processes_;
  std::tstring target_;
  bool found_ = false;
  Window found_window_ = 0;
};

}  // namespace Util
