// window_probe <seconds>: shows one top-level window that names this process (_NET_WM_PID) for
// the given time, so that tests above the platform layer have a program with a window.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <cstdlib>

int main(int argc, char** argv) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 1;
  const Window window =
      XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 9, 9, 0, 0, 0);
  long pid = getpid();
  XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32,
                  PropModeReplace, reinterpret_cast<unsigned char*>(&pid), 1);
  XMapWindow(display, window);
  XSync(display, False);
  usleep(static_cast<useconds_t>(std::atof(argc > 1 ? argv[1] : "1") * 1e6));
  XCloseDisplay(display);
  return 0;
}
