// The desktop's top-level windows and the processes that own them. Without a desktop (no display)
// there are no windows, and nothing fails.
#pragma once

#include <cstdint>
#include <vector>

namespace platform {

using WindowId = std::uint64_t;  // 0 is no window

struct TopLevelWindow {
  WindowId id;
  int process_id;
  bool minimised;
  bool hidden = false;  // not shown, nor minimised: listed only where the system lists such windows

  bool operator==(const TopLevelWindow&) const = default;
};

// A connection to the desktop, opened by the constructor. Not copyable; one thread at a time.
class WindowSystem {
 public:
  WindowSystem();
  ~WindowSystem();
  WindowSystem(const WindowSystem&) = delete;
  WindowSystem& operator=(const WindowSystem&) = delete;

  bool HasDisplay() const { return display_ != nullptr; }
  // The top-level windows whose owning process is known, in the desktop's stacking order from the
  // bottom up: the window manager's clients, minimised or on another desktop ones included, or,
  // without a window manager that lists them, the shown windows. Windows lists hidden ones too.
  std::vector<TopLevelWindow> ListWindows() const;
  // Restores the window from minimised or maximised to its normal state, then brings it to the
  // front (switching to its desktop) and gives it the input focus, as far as the desktop allows.
  void Activate(WindowId window) const;

 private:
  void* display_ = nullptr;
};

}  // namespace platform
