// Requests from outside that the process end, and ending it at once.
#pragma once

#include <functional>
#include <thread>

#include "platform/native_handle.h"

namespace platform {

// While the object lives, a request to end the process (SIGTERM, SIGINT or SIGHUP) calls
// `on_request` on a thread of the object's own instead of ending the process, so that the owner
// can stop what it does first. The system's own handling comes back when the object goes. One
// object at a time; not copyable.
class TerminationRequests {
 public:
  explicit TerminationRequests(std::function<void()> on_request);
  ~TerminationRequests();
  TerminationRequests(const TerminationRequests&) = delete;
  TerminationRequests& operator=(const TerminationRequests&) = delete;

 private:
  void Watch();

  std::function<void()> on_request_;
  NativeHandle wake_read_;
  NativeHandle wake_write_;
  std::thread watcher_;
};

// Ends the process now with `status`: no destructor runs and buffered output is lost; the system
// closes the process's files and releases its locks.
[[noreturn]] void EndProcessNow(int status);

}  // namespace platform
