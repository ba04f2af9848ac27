// The promise that the updater ends soon after it is asked to, whatever it is waiting for.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// Once armed, ends the process with `status` if it has not ended `grace` later. Stopping a run
// waits for the worker, which may sit in a name lookup, a connection that never answers or the
// digest of a large file; the window is gone by then, and a process that stays would keep the
// single-instance lock from the next start. Arm may be called from any thread; the object must
// outlive everything whose end it guards.
class ExitDeadline {
 public:
  ExitDeadline(std::chrono::milliseconds grace, int status);
  // Disarms: the process is ending by itself.
  ~ExitDeadline();
  ExitDeadline(const ExitDeadline&) = delete;
  ExitDeadline& operator=(const ExitDeadline&) = delete;

  // The first call starts the grace period; later ones change nothing.
  void Arm();

 private:
  void Watch();

  const std::chrono::milliseconds grace_;
  const int status_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool armed_ = false;
  bool ended_ = false;
  std::thread watcher_;
};
