#include "base/progress_line.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using std::chrono::milliseconds;

TEST(ProgressLineTest, RedrawsAtMostFourTimesASecondAndEndsWithTheLatestFigures) {
  std::ostringstream out;
  const ProgressLine::Clock::time_point start{};
  {
    ProgressLine line(out, ProgressOutput::kRedrawn, start);
    // 1 MiB every 100 ms of a 4 MiB transfer, then a second transfer starts from 0.
    for (int i = 1; i <= 4; ++i) {
      line.Update({0, 2, i * 1048576ull, 4194304}, "a.bin", start + milliseconds(100 * i));
    }
    line.Update({1, 2, 1048576, 2097152}, "b.bin", start + milliseconds(500));
  }
  EXPECT_EQ(out.str(),
            "\r0/2 files  1.0 MiB/4.0 MiB  10.0 MiB/s  0:00 left  a.bin\x1b[K"
            // 250 ms later: 4 MiB in 400 ms.
            "\r0/2 files  4.0 MiB/4.0 MiB  10.0 MiB/s  0:00 left  a.bin\x1b[K"
            // The end draws what came since, the rate counting both transfers' bytes.
            "\r1/2 files  1.0 MiB/2.0 MiB  10.0 MiB/s  0:00 left  b.bin\x1b[K\n");
}

TEST(ProgressLineTest, FormatsTimeLeftAndFitsTheTextToTheLine) {
  EXPECT_EQ(ProgressLine::Format({3, 10, 0, 1ull << 40}, 0, ""),
            "3/10 files  0 B/1.0 TiB  -- /s  --:-- left");
  EXPECT_EQ(ProgressLine::Format({0, 1, 0, 7200ull << 20}, 1 << 20, std::string(100, 'x')),
            "0/1 files  0 B/7.0 GiB  1.0 MiB/s  2:00:00 left  " + std::string(30, 'x'));
}

}  // namespace
