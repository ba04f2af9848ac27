#include "platform/desktop_windows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdlib>

namespace platform {
namespace {

Display* AsDisplay(void* display) { return static_cast<Display*>(display); }

// A window may vanish between listing and asking about it; the default handler would end the
// process for that.
int IgnoreError(Display*, XErrorEvent*) { return 0; }

// The process id a client stored on the window (_NET_WM_PID), 0 when none.
int ProcessOf(Display* display, Window window) {
  const Atom pid_atom = XInternAtom(display, "_NET_WM_PID", False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  int id = 0;
  if (XGetWindowProperty(display, window, pid_atom, 0, 1, False, XA_CARDINAL, &type, &format,
                         &count, &after, &data) == Success &&
      data != nullptr && format == 32 && count == 1) {
    id = static_cast<int>(*reinterpret_cast<unsigned long*>(data));
  }
  if (data != nullptr) XFree(data);
  return id;
}

std::vector<Window> ChildrenOf(Display* display, Window window) {
  Window root = 0;
  Window parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  std::vector<Window> list;
  if (XQueryTree(display, window, &root, &parent, &children, &count) != 0 && children != nullptr) {
    list.assign(children, children + count);
  }
  if (children != nullptr) XFree(children);
  return list;
}

bool IsShown(Display* display, Window window) {
  XWindowAttributes attributes;
  return XGetWindowAttributes(display, window, &attributes) != 0 &&
         attributes.map_state == IsViewable;
}

// A window manager puts each client inside a frame of its own: the process id is then on the
// client one level below the root's child.
TopLevelWindow OwnerOf(Display* display, Window top) {
  if (const int id = ProcessOf(display, top)) return {top, id};
  for (const Window child : ChildrenOf(display, top)) {
    if (const int id = ProcessOf(display, child)) return {child, id};
  }
  return {0, 0};
}

}  // namespace

WindowSystem::WindowSystem() {
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') return;
  XSetErrorHandler(IgnoreError);
  display_ = XOpenDisplay(nullptr);
}

WindowSystem::~WindowSystem() {
  if (display_ != nullptr) XCloseDisplay(AsDisplay(display_));
}

std::vector<TopLevelWindow> WindowSystem::ListWindows() const {
  std::vector<TopLevelWindow> windows;
  if (display_ == nullptr) return windows;
  Display* display = AsDisplay(display_);
  for (const Window top : ChildrenOf(display, DefaultRootWindow(display))) {
    if (!IsShown(display, top)) continue;
    const TopLevelWindow owner = OwnerOf(display, top);
    if (owner.process_id != 0) windows.push_back(owner);
  }
  return windows;
}

void WindowSystem::Activate(WindowId id) const {
  if (display_ == nullptr || id == 0) return;
  Display* display = AsDisplay(display_);
  const Window window = static_cast<Window>(id);
  const Window root = DefaultRootWindow(display);
  XMapRaised(display, window);
  // The window manager decides about focus; ask it as a pager would (source 2), which it honours
  // more readily than a request from an application.
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = 2;
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
  XRaiseWindow(display, window);
  XFlush(display);
}

}  // namespace platform
