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

// What a window manager keeps: WM_STATE on each client (3: minimised, and then not shown) and the
// list of its clients on the root, which also holds those on other desktops.
TEST(DesktopWindowsTest, MinimisedClientsOfAWindowManager) {
  Display* client = getenv("DISPLAY") ? XOpenDisplay(nullptr) : nullptr;
  if (client == nullptr) GTEST_SKIP() << "no display";
  const Window root = DefaultRootWindow(client);
  const auto make = [&](long pid, long state) {
    const Window window = XCreateSimpleWindow(client, root, 0, 0, 9, 9, 0, 0, 0);
    XChangeProperty(client, window, XInternAtom(client, "_NET_WM_PID", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(&pid), 1);
    const Atom wm_state = XInternAtom(client, "WM_STATE", False);
    long value[2] = {state, 0};
    XChangeProperty(client, window, wm_state, wm_state, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(value), 2);
    return window;
  };
  const Window normal = make(101, 1);
  const Window minimised = make(102, 3);
  XMapWindow(client, normal);
  XSync(client, False);
  // An older window manager lists nothing on the root: its clients are found in the tree.
  WindowSystem desktop;
  std::vector<TopLevelWindow> windows = desktop.ListWindows();
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[0].id, normal);
  EXPECT_FALSE(windows[0].minimised);
  EXPECT_EQ(windows[1].id, minimised);
  EXPECT_TRUE(windows[1].minimised);
  EXPECT_EQ(windows[1].process_id, 102);

  // Its list when there is one, in its stacking order; windows it does not list do not count.
  long stacking[] = {static_cast<long>(minimised), static_cast<long>(normal)};
  const Atom list = XInternAtom(client, "_NET_CLIENT_LIST_STACKING", False);
  XChangeProperty(client, root, list, XA_WINDOW, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(stacking), 1);
  XSync(client, False);
  windows = desktop.ListWindows();
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(windows[0].id, minimised);
  XChangeProperty(client, root, list, XA_WINDOW, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(stacking), 2);
  XSync(client, False);
  windows = desktop.ListWindows();
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[1].id, normal);
  XDeleteProperty(client, root, list);
  XCloseDisplay(client);
}

}  // namespace
}  // namespace platform
