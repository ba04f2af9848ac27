#include "platform/desktop_windows.h"

#include <gtest/gtest.h>

// After gtest: Xlib defines None and other plain names as macros.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace platform {
namespace {

// A private X server (Xvfb) for one test; DISPLAY names it while the object lives.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    if (access("/usr/bin/Xvfb", X_OK) != 0) return;
    int ready[2];
    if (pipe(ready) != 0) return;
    server_ = fork();
    if (server_ == 0) {
      close(ready[0]);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);
      const std::string fd = std::to_string(ready[1]);
      execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(ready[1]);
    char number[16] = {};
    const ssize_t count = read(ready[0], number, sizeof number - 1);
    close(ready[0]);
    if (count <= 0) return;
    const char* saved = getenv("DISPLAY");
    saved_ = saved ? saved : "";
    had_display_ = saved != nullptr;
    setenv("DISPLAY", (":" + std::string(number, strcspn(number, "\n"))).c_str(), 1);
    running_ = true;
  }
  ~VirtualDisplay() {
    if (had_display_) {
      setenv("DISPLAY", saved_.c_str(), 1);
    } else {
      unsetenv("DISPLAY");
    }
    if (server_ > 0) {
      kill(server_, SIGTERM);
      waitpid(server_, nullptr, 0);
    }
  }
  bool IsRunning() const { return running_; }

 private:
  pid_t server_ = -1;
  bool running_ = false;
  bool had_display_ = false;
  std::string saved_;
};

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

TEST(DesktopWindowsTest, VisibleWindowsWithTheirProcessAndActivation) {
  VirtualDisplay server;
  if (!server.IsRunning()) GTEST_SKIP() << "Xvfb is not installed";
  Display* client = XOpenDisplay(nullptr);
  ASSERT_NE(client, nullptr);
  const Window root = DefaultRootWindow(client);
  const auto make = [&](long pid) {
    const Window window = XCreateSimpleWindow(client, root, 0, 0, 10, 10, 0, 0, 0);
    const Atom atom = XInternAtom(client, "_NET_WM_PID", False);
    if (pid != 0) {
      XChangeProperty(client, window, atom, XA_CARDINAL, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(&pid), 1);
    }
    return window;
  };
  const Window shown = make(getpid());
  const Window hidden = make(4242);
  const Window anonymous = make(0);
  XMapWindow(client, shown);
  XMapWindow(client, anonymous);
  XSync(client, False);

  WindowSystem desktop;
  ASSERT_TRUE(desktop.HasDisplay());
  std::vector<TopLevelWindow> windows = desktop.ListWindows();
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(windows[0].id, shown);
  EXPECT_EQ(windows[0].process_id, getpid());

  desktop.Activate(hidden);  // shown again, as a minimised window is restored
  windows = desktop.ListWindows();
  EXPECT_EQ(windows.size(), 2u);
  EXPECT_NE(
      std::find_if(windows.begin(), windows.end(),
                   [&](const TopLevelWindow& w) { return w.id == hidden && w.process_id == 4242; }),
      windows.end());
  XDestroyWindow(client, shown);
  XSync(client, False);
  desktop.Activate(shown);  // gone: ignored, not fatal
  EXPECT_EQ(desktop.ListWindows().size(), 1u);
  XCloseDisplay(client);
}

}  // namespace
}  // namespace platform
