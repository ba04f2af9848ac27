#include "storage/block_pipeline.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

// Produces `total` counting bytes in blocks of varying size; fails at `fail_at` blocks if set.
struct Source {
  std::size_t total;
  int fail_at = -1;
  std::size_t sent = 0;
  int blocks = 0;
  std::size_t operator()(std::uint8_t* buffer, std::size_t capacity) {
    if (blocks++ == fail_at) throw std::runtime_error("source failed");
    const std::size_t size = std::min({capacity, total - sent, std::size_t{1000} + 77 * blocks});
    for (std::size_t i = 0; i < size; ++i) buffer[i] = static_cast<std::uint8_t>(sent + i);
    sent += size;
    return size;
  }
};

TEST(BlockPipelineTest, DeliversEveryByteInOrderOnBothPaths) {
  for (bool threaded : {false, true}) {
    Source source{300000};
    std::size_t received = 0;
    bool in_order = true;
    RunBlockPipeline(
        std::ref(source),
        [&](std::uint8_t* data, std::size_t size) {
          for (std::size_t i = 0; i < size; ++i)
            in_order &= data[i] == static_cast<std::uint8_t>(received + i);
          received += size;
        },
        threaded);
    EXPECT_EQ(received, 300000u) << threaded;
    EXPECT_TRUE(in_order) << threaded;
  }
}

TEST(BlockPipelineTest, FailuresOfEitherSideReachTheCaller) {
  for (bool threaded : {false, true}) {
    Source failing{1 << 20, 5};
    std::size_t received = 0;
    EXPECT_THROW(RunBlockPipeline(
                     std::ref(failing), [&](std::uint8_t*, std::size_t size) { received += size; },
                     threaded),
                 std::runtime_error);
    EXPECT_EQ(received, failing.sent) << "blocks made before the failure are still delivered";
    Source endless{std::size_t{1} << 40};
    int calls = 0;
    EXPECT_THROW(RunBlockPipeline(
                     std::ref(endless),
                     [&](std::uint8_t*, std::size_t) {
                       if (++calls == 3) throw std::logic_error("sink failed");
                     },
                     threaded),
                 std::logic_error);
    EXPECT_LE(endless.blocks, 3 + 5) << "the producer stops soon after the consumer fails";
  }
}

}  // namespace
