#include "platform/desktop_windows.h"

#include <gtest/gtest.h>

// After gtest: Xlib defines None and other plain names as macros.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdlib.h>
#include <unistd.h>

namespace platform {
namespace {

TEST(DesktopWindowsTest, NoDisplayNoWindows) {
  const char* saved = getenv("DISPLAY");
  const std::string display = saved ? saved : "";
  unsetenv("DISPLAY");
  WindowSystem desktop;
  EXPECT_FALSE(desktop.HasDisplay());
  EXPECT_TRUE(desktop.ListWindows().empty());
  desktop.Activate(1);
  if (saved) setenv("DISPLAY", display.c_str(), 1);
}

// Run under xvfb-run by CTest; skipped where there is no display.
TEST(DesktopWindowsTest, VisibleWindowsWithTheirProcessAndActivation) {
  Display* client = getenv("DISPLAY") ? XOpenDisplay(nullptr) : nullptr;
  if (client == nullptr) GTEST_SKIP() << "no display";
  const auto make = [&](long pid) {
    const Window window =
        XCreateSimpleWindow(client, DefaultRootWindow(client), 0, 0, 9, 9, 0, 0, 0);
    if (pid != 0) {
      XChangeProperty(client, window, XInternAtom(client, "_NET_WM_PID", False), XA_CARDINAL, 32,
                      PropModeReplace, reinterpret_cast<unsigned char*>(&pid), 1);
    }
    return window;
  };
  const Window shown = make(getpid());
  const Window hidden = make(4242);
  XMapWindow(client, make(0));  // no process known: not listed
  XMapWindow(client, shown);
  XSync(client, False);

  WindowSystem desktop;
  ASSERT_TRUE(desktop.HasDisplay());
  std::vector<TopLevelWindow> windows = desktop.ListWindows();
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(windows[0].id, shown);
  EXPECT_EQ(windows[0].process_id, getpid());

  desktop.Activate(hidden);  // shown again, as a minimised window is restored
  windows = desktop.ListWindows();
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[1].id, hidden);  // and on top
  EXPECT_EQ(windows[1].process_id, 4242);
  XDestroyWindow(client, shown);
  XSync(client, False);
  desktop.Activate(shown);  // gone: ignored, not fatal
  EXPECT_EQ(desktop.ListWindows().size(), 1u);
  XCloseDisplay(client);
}

// A window manager of the older kind lists no clients on the root, and unmaps those it has
// minimised; the state it keeps on each (WM_STATE, 3 for minimised) still finds them.
TEST(DesktopWindowsTest, MinimisedClientsOfAnOlderWindowManager) {
  Display* client = getenv("DISPLAY") ? XOpenDisplay(nullptr) : nullptr;
  if (client == nullptr) GTEST_SKIP() << "no display";
  const Atom wm_state = XInternAtom(client, "WM_STATE", False);
  Window windows[2];
  for (long i = 0; i < 2; ++i) {
    windows[i] = XCreateSimpleWindow(client, DefaultRootWindow(client), 0, 0, 9, 9, 0, 0, 0);
    long pid = 100 + i;
    long state[2] = {i == 0 ? 1 : 3, 0};
    XChangeProperty(client, windows[i], XInternAtom(client, "_NET_WM_PID", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(&pid), 1);
    XChangeProperty(client, windows[i], wm_state, wm_state, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(state), 2);
  }
  XMapWindow(client, windows[0]);
  XSync(client, False);
  const std::vector<TopLevelWindow> listed = WindowSystem().ListWindows();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].id, windows[0]);
  EXPECT_FALSE(listed[0].minimised);
  EXPECT_EQ(listed[1].id, windows[1]);
  EXPECT_EQ(listed[1].process_id, 101);
  EXPECT_TRUE(listed[1].minimised);
  XCloseDisplay(client);
}

}  // namespace
}  // namespace platform
