#include "net/winsock_base.h"

#include "base/critical_section.h"
#include "base/exception.h"
#include "res/historical_messages.h"

namespace {

// Version 2.0: the major number in the low byte.
constexpr std::uint16_t kVersion = 0x0002;

struct Shared {
  CriticalSection lock;
  int count = 0;
  bool started = false;
  WinsockBase::Library library{platform::StartSocketLibrary, platform::CleanupSocketLibrary};
};

// Built on first use, so constructing a client during static initialisation is safe too.
Shared& State() {
  static Shared shared;
  return shared;
}

}  // namespace

WinsockBase::WinsockBase() {
  Shared& shared = State();
  CriticalSectionLock hold(shared.lock);
  if (shared.count != 0) {
    ++shared.count;
    return;
  }
  info_ = {};
  if (shared.library.startup(kVersion, info_) != 0) {
    shared.started = false;
    throw WinsockBaseException("[error] WSAStartup Failed.", true);
  }
  if (info_.version != kVersion) {
    // The start-up did succeed; undo it so that refusals do not pile up references to the library.
    shared.library.cleanup();
    info_ = {};
    throw WinsockBaseException(kWrongWinsockVersion, false);
  }
  shared.started = true;
  ++shared.count;
}

WinsockBase::~WinsockBase() noexcept(false) {
  Shared& shared = State();
  CriticalSectionLock hold(shared.lock);
  if (shared.count-- == 1) {
    shared.started = false;
    shared.library.cleanup();
    info_ = {};
  }
}

int WinsockBase::GetClientCount() {
  CriticalSectionLock hold(State().lock);
  return State().count;
}

bool WinsockBase::IsLibraryStarted() {
  CriticalSectionLock hold(State().lock);
  return State().started;
}

void WinsockBase::SetLibrary(const Library& library) {
  Shared& shared = State();
  CriticalSectionLock hold(shared.lock);
  shared.library = library.startup != nullptr && library.cleanup != nullptr
                       ? library
                       : Library{platform::StartSocketLibrary, platform::CleanupSocketLibrary};
}
