#include "net/rate_cap.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// 1000 bytes/s: a bucket of 100 bytes, and grants of at least 50 bytes or what is wanted.
// Receivers that want 64 KiB whenever they wake, at times that do not line up, get a minute's worth
// of the rate in a minute, within 5 %.
TEST(RateCapTest, HoldsReceiversToItsRate) {
  const RateCap::Clock::time_point start;
  RateCap cap(1000);
  EXPECT_EQ(cap.Take(64, start), 64u);
  EXPECT_EQ(cap.Take(64, start), 0u);
  EXPECT_EQ(cap.Take(30, start), 30u);
  EXPECT_EQ(cap.Take(64, start + cap.Wait(64, start)), 50u);
  cap.GiveBack(500);
  EXPECT_EQ(cap.Take(1000, start + 90ms), 100u);
  // A time before the last one, from a thread that read the clock earlier, adds nothing.
  EXPECT_EQ(cap.Take(1000, start), 0u);
  EXPECT_EQ(RateCap(0).Take(1u << 30, start), 1u << 30);
  RateCap shared(300000);
  std::uint64_t total = 0;
  for (auto now = start; now < start + 60s; now += 7ms) {
    for (int i = 0; i < 12; ++i) total += shared.Take(65536, now + i * 500us);
  }
  EXPECT_NEAR(static_cast<double>(total), 18e6, 0.05 * 18e6);
}

}  // namespace
