// A cap on the bytes per second that all the connections sharing it receive together: a token
// bucket that each receive takes its bytes from before it reads them. The bucket fills at the
// cap's rate up to a tenth of a second's worth, so over any span the connections receive at most
// the rate times the span plus that much. Shared by any number of threads; pure arithmetic on the
// times it is given, which callers take from a steady clock and wait on in their own slices.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

class RateCap {
 public:
  using Clock = std::chrono::steady_clock;

  // 0: no cap. The bucket starts full.
  explicit RateCap(std::uint64_t bytes_per_second);

  // Up to `wanted` bytes taken from the bucket at `now`: all of them without a cap, none while the
  // bucket holds less than a twentieth of a second's worth (or `wanted`, when that is less).
  std::size_t Take(std::size_t wanted, Clock::time_point now);
  // Bytes taken but not received go back into the bucket.
  void GiveBack(std::size_t bytes);
  // How long after `now` a Take of `wanted` bytes gets some; zero when it would at `now`.
  Clock::duration Wait(std::size_t wanted, Clock::time_point now);

 private:
  void Fill(Clock::time_point now);
  double Least(std::size_t wanted) const;

  const double rate_;
  // A grant is at least this many bytes, so that a held transfer is received in blocks rather
  // than byte by byte; the bucket holds twice as many.
  const double least_;
  const double capacity_;
  std::mutex mutex_;
  double bytes_;
  bool started_ = false;
  Clock::time_point last_;
};
