// What only the POSIX desktop and settings code does: top-level windows from the X server, and the
// user's proxy from the environment.
#include <gtest/gtest.h>

// After gtest: Xlib defines None and other plain names as macros.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdlib.h>
#include <unistd.h>

#include "platform/desktop_windows.h"
#include "platform/proxy_settings.h"

namespace platform {
namespace {

using Windows = std::vector<TopLevelWindow>;

TEST(WindowSystemTest, NoDisplayNoWindows) {
  const std::string display = getenv("DISPLAY") ? getenv("DISPLAY") : "";
  unsetenv("DISPLAY");
  WindowSystem desktop;
  EXPECT_FALSE(desktop.HasDisplay());
  EXPECT_TRUE(desktop.ListWindows().empty());
  desktop.Activate(1);
  if (!display.empty()) setenv("DISPLAY", display.c_str(), 1);
}

// The tests below run on a private X server (tests/window); skipped where there is no display.
class DesktopWindowsTest : public testing::Test {
 protected:
  void SetUp() override {
    client_ = getenv("DISPLAY") ? XOpenDisplay(nullptr) : nullptr;
    if (client_ == nullptr) GTEST_SKIP() << "no display";
  }
  void TearDown() override {
    if (client_) XCloseDisplay(client_);
  }
  // An unmapped top-level window naming process `pid` (none for 0), with a WM_STATE when given.
  Window Make(long pid, long wm_state = 0) {
    const Window window =
        XCreateSimpleWindow(client_, DefaultRootWindow(client_), 0, 0, 9, 9, 0, 0, 0);
    const auto set = [&](const char* name, Atom type, long* values, int count) {
      XChangeProperty(client_, window, XInternAtom(client_, name, False), type, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(values), count);
    };
    if (pid != 0) set("_NET_WM_PID", XA_CARDINAL, &pid, 1);
    long state[2] = {wm_state, 0};
    if (wm_state != 0) set("WM_STATE", XInternAtom(client_, "WM_STATE", False), state, 2);
    return window;
  }
  Display* client_ = nullptr;
};

TEST_F(DesktopWindowsTest, VisibleWindowsWithTheirProcessAndActivation) {
  const Window shown = Make(getpid());
  const Window hidden = Make(4242);
  XMapWindow(client_, Make(0));  // no process known: not listed
  XMapWindow(client_, shown);
  XSync(client_, False);

  WindowSystem desktop;
  ASSERT_TRUE(desktop.HasDisplay());
  EXPECT_EQ(desktop.ListWindows(), (Windows{{shown, getpid(), false}}));
  desktop.Activate(hidden);  // shown again, as a minimised window is restored, and on top
  EXPECT_EQ(desktop.ListWindows(), (Windows{{shown, getpid(), false}, {hidden, 4242, false}}));
  XDestroyWindow(client_, shown);
  XSync(client_, False);
  desktop.Activate(shown);  // gone: ignored, not fatal
  EXPECT_EQ(desktop.ListWindows(), (Windows{{hidden, 4242, false}}));
}

// A window manager of the older kind lists no clients on the root, and unmaps those it has
// minimised; the state it keeps on each (WM_STATE, 3 for minimised) still finds them.
TEST_F(DesktopWindowsTest, MinimisedClientsOfAnOlderWindowManager) {
  const Window normal = Make(100, 1), minimised = Make(101, 3);
  XMapWindow(client_, normal);
  XSync(client_, False);
  EXPECT_EQ(WindowSystem().ListWindows(), (Windows{{normal, 100, false}, {minimised, 101, true}}));
}

// How the address is cut from a URL, and an empty value, are the proxy discovery's tests
// (update_test), which set http_proxy alone.
TEST(ProxySettingsTest, UpperCaseVariableStandsInForTheLowerCaseOne) {
  unsetenv("http_proxy");
  setenv("HTTP_PROXY", "proxy.example:3128", 1);
  EXPECT_EQ(ReadUserProxySettings().value().server, "proxy.example:3128");
  setenv("http_proxy", "", 1);
  EXPECT_FALSE(ReadUserProxySettings().value().enabled);
  unsetenv("http_proxy");
  unsetenv("HTTP_PROXY");
  EXPECT_FALSE(ReadUserProxySettings().has_value());
}

}  // namespace
}  // namespace platform
