// Keeps a second copy of the updater from running for the same install folder.
#pragma once

#include "app/mutex.h"
#include "base/tstring.h"
#include "ui/process_launcher.h"

// Holds the single-instance mutex from Check until it is destroyed (at process exit).
class SingleApp {
 public:
  SingleApp() = default;
  virtual ~SingleApp() = default;
  SingleApp(const SingleApp&) = delete;
  SingleApp& operator=(const SingleApp&) = delete;

  // True when this process is the only copy for `name` (a path; empty: the running executable's
  // own). False when another copy runs: its window, if it has one, is brought to the front.
  bool Check(const std::tstring& name, IWindowSearch& windows);

 private:
  Mutex mutex_;
};
