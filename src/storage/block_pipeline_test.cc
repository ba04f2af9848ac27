#include "storage/block_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
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

// Streams of varying lengths, threaded and not, one after another through one stage: the pass sees
// every stream's bytes in order, and a stream is complete when Finish returns.
TEST(SideStageTest, PassesOverEveryStreamInOrderWhateverItsThreading) {
  std::size_t passed = 0;
  bool in_order = true;
  SideStage stage([&](const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
      in_order &= data[i] == static_cast<std::uint8_t>(passed + i);
    passed += size;
  });
  for (const bool threaded : {true, false, false, true, true}) {
    passed = 0;
    Source source{threaded ? 9 * kPipelineBlockSize + 5 : 2000};
    stage.SetThreaded(threaded);
    for (;;) {
      std::uint8_t* block = stage.Next();
      const std::size_t size = source(block, kPipelineBlockSize);
      if (size == 0) break;
      stage.Submit(size);
    }
    stage.Finish();
    EXPECT_EQ(passed, source.total) << threaded;
  }
  EXPECT_TRUE(in_order);
}

TEST(SideStageTest, AFailingPassStopsTheCallerAndAnAbandonedStageStillEnds) {
  int blocks = 0;
  SideStage failing([&](const std::uint8_t*, std::size_t) {
    if (++blocks == 2) throw std::runtime_error("pass failed");
  });
  failing.SetThreaded(true);
  EXPECT_THROW(
      for (int i = 0; i < 100; ++i) {
        failing.Next();
        failing.Submit(1);
      } failing.Finish(),
      std::runtime_error);
  EXPECT_EQ(blocks, 2);

  // Destroyed with blocks still handed over, as when writing fails mid-stream.
  std::atomic<bool> release{false};
  {
    SideStage slow([&](const std::uint8_t*, std::size_t) {
      while (!release) std::this_thread::yield();
    });
    slow.SetThreaded(true);
    for (int i = 0; i < 3; ++i) {
      slow.Next();
      slow.Submit(1);
    }
    release = true;
  }
}

}  // namespace
