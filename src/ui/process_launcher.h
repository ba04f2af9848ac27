// Other processes as the dialog and start-up deal with them: starting the game, the swap program
// and the restarted updater; telling whether a program runs and waiting for it to end; finding
// the running game's window and bringing it forward. Programs are named by the full path of their
// main module. The updater's implementation (app/system_processes.h) asks the system; tests pass
// fakes, so that no test of the dialog or of start-up needs a real process.
#pragma once

#include <chrono>
#include <cstdint>

#include "base/tstring.h"

class IProcessLauncher {
 public:
  static constexpr std::chrono::milliseconds kForever{-1};

  // Starts the program of a whole command line with `folder` as its working directory, without
  // waiting for it; false when it could not be started.
  virtual bool Start(const std::tstring& command_line, const std::tstring& folder) = 0;
  // Whether a process runs `module`, compared as the system reports modules (absolute, letter
  // case as on disk).
  virtual bool IsRunning(const std::tstring& module) = 0;
  // Waits until every process running `module`, without regard to letter case, has ended, each at
  // most `limit` (kForever: no limit); false when the time ran out first.
  virtual bool WaitForExit(const std::tstring& module, std::chrono::milliseconds limit) = 0;

 protected:
  ~IProcessLauncher() = default;
};

class IWindowSearch {
 public:
  using Window = std::uint64_t;  // 0 is none

  // Whether there is a desktop at all: without one no process has a window.
  virtual bool HasDesktop() = 0;
  // The top-most top-level window of a process running `module` (compared as IsRunning does),
  // minimised or on another desktop included, or 0. An empty module finds nothing.
  virtual Window FindWindow(const std::tstring& module) = 0;
  // Restores the window, then brings it to the front and activates it.
  virtual void Activate(Window window) = 0;

 protected:
  ~IWindowSearch() = default;
};
