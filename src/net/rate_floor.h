// Whether a reply keeps up the minimum rate of net/time_limits.h: it fails once a window of the
// rate window's length holds fewer bytes than the floor allows, however steadily the bytes trickle
// in. The window starts at the reply's first byte, so how long a server takes to begin is the idle
// limit's matter alone. Pure arithmetic on the times it is given; one thread at a time.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

class RateFloor {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RateFloor(int window_milliseconds, int bytes_per_second);

  // Counts bytes that arrived at `now` (never earlier than the last call's); false when the
  // window ending now held fewer bytes than the floor.
  bool Add(std::size_t bytes, Clock::time_point now);

 private:
  // The window is counted in this many slots, so that memory and work per call stay fixed
  // whatever the rate.
  static constexpr std::size_t kSlots = 60;

  Clock::duration slot_length_;
  std::uint64_t floor_bytes_;
  bool started_ = false;
  Clock::time_point start_;
  std::uint64_t current_ = 0;  // the slot of the last call, counted from start_
  // The bytes of the current slot and of the kSlots before it, by slot number modulo their count.
  std::array<std::uint64_t, kSlots + 1> counts_{};
};
