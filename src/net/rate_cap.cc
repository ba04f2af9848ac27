#include "net/rate_cap.h"

#include <algorithm>

RateCap::RateCap(std::uint64_t bytes_per_second)
    : rate_(static_cast<double>(bytes_per_second)),
      least_(std::max(1.0, rate_ / 20)),
      capacity_(2 * least_),
      bytes_(capacity_) {}

std::size_t RateCap::Take(std::size_t wanted, Clock::time_point now) {
  if (rate_ == 0) return wanted;
  std::lock_guard hold(mutex_);
  Fill(now);
  if (bytes_ < Least(wanted)) return 0;
  const auto granted = static_cast<std::size_t>(std::min(static_cast<double>(wanted), bytes_));
  bytes_ -= static_cast<double>(granted);
  return granted;
}

void RateCap::GiveBack(std::size_t bytes) {
  if (rate_ == 0 || bytes == 0) return;
  std::lock_guard hold(mutex_);
  bytes_ = std::min(capacity_, bytes_ + static_cast<double>(bytes));
}

RateCap::Clock::duration RateCap::Wait(std::size_t wanted, Clock::time_point now) {
  if (rate_ == 0) return {};
  std::lock_guard hold(mutex_);
  Fill(now);
  const double missing = Least(wanted) - bytes_;
  if (missing <= 0) return {};
  return std::chrono::ceil<Clock::duration>(std::chrono::duration<double>(missing / rate_));
}

void RateCap::Fill(Clock::time_point now) {
  // Threads read the clock before they take the lock, so times may come out of order: one earlier
  // than the last adds nothing, rather than counting a span twice.
  if (started_ && now <= last_) return;
  if (started_) {
    const double seconds = std::chrono::duration<double>(now - last_).count();
    bytes_ = std::min(capacity_, bytes_ + rate_ * seconds);
  }
  started_ = true;
  last_ = now;
}

double RateCap::Least(std::size_t wanted) const {
  return std::min(static_cast<double>(wanted), least_);
}
