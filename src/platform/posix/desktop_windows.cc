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

// A property of 32-bit items (which Xlib hands over as longs); empty when the window has none.
std::vector<unsigned long> Property(Display* display, Window window, const char* name, Atom type) {
  Atom actual = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  std::vector<unsigned long> items;
  if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, 0x10000, False,
                         type, &actual, &format, &count, &after, &data) == Success &&
      data != nullptr && format == 32) {
    const auto* values = reinterpret_cast<unsigned long*>(data);
    items.assign(values, values + count);
  }
  if (data != nullptr) XFree(data);
  return items;
}

// The process id a client stored on the window (_NET_WM_PID), 0 when none.
int ProcessOf(Display* display, Window window) {
  const std::vector<unsigned long> pid = Property(display, window, "_NET_WM_PID", XA_CARDINAL);
  return pid.empty() ? 0 : static_cast<int>(pid[0]);
}

// The state a window manager keeps on each client it manages (ICCCM WM_STATE): 1 normal, 3
// minimised; 0 when no window manager manages the window.
unsigned long ManagedState(Display* display, Window window) {
  const Atom type = XInternAtom(display, "WM_STATE", False);
  const std::vector<unsigned long> state = Property(display, window, "WM_STATE", type);
  return state.empty() ? 0 : state[0];
}

constexpr unsigned long kIconicState = 3;

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
Window ClientOf(Display* display, Window top) {
  if (ProcessOf(display, top) != 0) return top;
  for (const Window child : ChildrenOf(display, top)) {
    if (ProcessOf(display, child) != 0) return child;
  }
  return 0;
}

TopLevelWindow Describe(Display* display, Window client) {
  return {client, ProcessOf(display, client), ManagedState(display, client) == kIconicState};
}

// The window manager's list of its clients, bottom up where it keeps the stacking order; a
// minimised window or one on another desktop is not shown, but is listed there.
std::vector<Window> ManagedClients(Display* display) {
  const Window root = DefaultRootWindow(display);
  std::vector<unsigned long> clients =
      Property(display, root, "_NET_CLIENT_LIST_STACKING", XA_WINDOW);
  if (clients.empty()) clients = Property(display, root, "_NET_CLIENT_LIST", XA_WINDOW);
  return {clients.begin(), clients.end()};
}

// Without such a list, the root's children in their stacking order: those shown, and those that
// a window manager of the older kind manages (WM_STATE), which it unmaps while they are minimised.
std::vector<Window> TreeClients(Display* display) {
  std::vector<Window> clients;
  for (const Window top : ChildrenOf(display, DefaultRootWindow(display))) {
    const Window client = ClientOf(display, top);
    if (client != 0 && (IsShown(display, top) || ManagedState(display, client) != 0)) {
      clients.push_back(client);
    }
  }
  return clients;
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
  std::vector<Window> clients = ManagedClients(display);
  if (clients.empty()) clients = TreeClients(display);
  for (const Window client : clients) {
    const TopLevelWindow window = Describe(display, client);
    if (window.process_id != 0) windows.push_back(window);
  }
  return windows;
}

void WindowSystem::Activate(WindowId id) const {
  if (display_ == nullptr || id == 0) return;
  Display* display = AsDisplay(display_);
  const Window window = static_cast<Window>(id);
  // Mapping a minimised client asks its window manager to restore it (ICCCM), and shows a hidden
  // window where there is none; only then is raising it of any use.
  XMapWindow(display, window);
  // The window manager decides about desktops and focus; ask it as a pager would (source 2),
  // which it honours more readily than a request from an application.
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = 2;
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, DefaultRootWindow(display), False,
             SubstructureRedirectMask | SubstructureNotifyMask, &event);
  XRaiseWindow(display, window);
  XFlush(display);
}

}  // namespace platform
