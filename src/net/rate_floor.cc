#include "net/rate_floor.h"

#include <algorithm>
#include <numeric>

RateFloor::RateFloor(int window_milliseconds, int bytes_per_second)
    : slot_length_(Clock::duration(std::chrono::milliseconds(window_milliseconds)) / kSlots),
      floor_bytes_(std::uint64_t(bytes_per_second) * std::uint64_t(window_milliseconds) / 1000) {}

bool RateFloor::Add(std::size_t bytes, Clock::time_point now) {
  if (!started_) {
    started_ = true;
    start_ = now;
  }
  const auto slot = static_cast<std::uint64_t>((now - start_) / slot_length_);
  // Slots that passed without a call held nothing; a gap longer than the ring clears it all.
  const std::uint64_t passed = std::min<std::uint64_t>(slot - current_, counts_.size());
  for (std::uint64_t i = 1; i <= passed; ++i) counts_[(current_ + i) % counts_.size()] = 0;
  current_ = slot;
  counts_[slot % counts_.size()] += bytes;
  // Judged only once the reply has lasted a whole window. The ring then spans at least the
  // window (its whole slots and the current part of one), so a sum below the floor means that
  // every window inside that span was below it too: a reply at or above the floor never fails.
  if (slot < kSlots) return true;
  return std::accumulate(counts_.begin(), counts_.end(), std::uint64_t{0}) >= floor_bytes_;
}
