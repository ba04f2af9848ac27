#include "platform/desktop_windows.h"

#include <windows.h>

#include <algorithm>

namespace platform {
namespace {

HWND AsWindow(WindowId id) { return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(id)); }

BOOL CALLBACK Collect(HWND window, LPARAM windows) {
  // Hidden windows are listed too: a program whose windows are all hidden (a game in the tray, one
  // that hides while it loads) still runs.
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process == 0) return TRUE;
  reinterpret_cast<std::vector<TopLevelWindow>*>(windows)->push_back(
      {static_cast<WindowId>(reinterpret_cast<std::uintptr_t>(window)), static_cast<int>(process),
       IsIconic(window) != 0, IsWindowVisible(window) == 0});
  return TRUE;
}

}  // namespace

// The desktop of the process's window station is always there on Windows.
WindowSystem::WindowSystem() : display_(GetDesktopWindow()) {}

WindowSystem::~WindowSystem() = default;

std::vector<TopLevelWindow> WindowSystem::ListWindows() const {
  std::vector<TopLevelWindow> windows;
  if (display_ == nullptr) return windows;
  EnumWindows(&Collect, reinterpret_cast<LPARAM>(&windows));
  // The system lists from the top down.
  std::reverse(windows.begin(), windows.end());
  return windows;
}

void WindowSystem::Activate(WindowId id) const {
  const HWND window = AsWindow(id);
  if (!IsWindow(window)) return;
  // Brought back in its normal state, from maximised as from minimised; a hidden window is left
  // hidden, as its program chose.
  if (IsIconic(window) || IsZoomed(window)) ShowWindow(window, SW_RESTORE);
  // Activation alone restacks the window on Windows, but not under every window system (Wine with
  // no window manager keeps it where it was): raise it as well.
  BringWindowToTop(window);
  SetForegroundWindow(window);
}

}  // namespace platform
