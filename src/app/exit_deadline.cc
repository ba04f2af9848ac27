#include "app/exit_deadline.h"

#include "platform/termination.h"

ExitDeadline::ExitDeadline(std::chrono::milliseconds grace, int status)
    : grace_(grace), status_(status), watcher_([this] { Watch(); }) {}

ExitDeadline::~ExitDeadline() {
  {
    std::lock_guard hold(mutex_);
    ended_ = true;
  }
  changed_.notify_all();
  watcher_.join();
}

void ExitDeadline::Arm() {
  {
    std::lock_guard hold(mutex_);
    armed_ = true;
  }
  changed_.notify_all();
}

void ExitDeadline::Watch() {
  std::unique_lock hold(mutex_);
  changed_.wait(hold, [this] { return armed_ || ended_; });
  if (changed_.wait_for(hold, grace_, [this] { return ended_; })) return;
  platform::EndProcessNow(status_);
}
