// The base of every object that talks over sockets. Constructing one makes sure the socket library
// is started; destroying the last live one cleans it up again. Objects may be built and destroyed
// on any thread: the live-object count is kept under one process-wide lock.
#pragma once

#include <cstdint>

#include "platform/socket.h"

class WinsockBase {
 public:
  // Throws WinsockBaseException when the library cannot be started (error) or offers another
  // version than 2.0 (warning); nothing is counted then, so the next construction tries again.
  WinsockBase();
  virtual ~WinsockBase() noexcept(false);
  WinsockBase(const WinsockBase&) = delete;
  WinsockBase& operator=(const WinsockBase&) = delete;

  static int GetClientCount();
  static bool IsLibraryStarted();

  // The library's start-up and clean-up calls. Tests put in their own to count calls and to make
  // start-up fail; only while no object is alive. A default Library puts the system's calls back.
  struct Library {
    int (*startup)(std::uint16_t version, platform::SocketLibraryInfo& info) = nullptr;
    void (*cleanup)() = nullptr;
  };
  static void SetLibrary(const Library& library);

 private:
  // Filled only in the object whose construction started the library.
  platform::SocketLibraryInfo info_{};
};
