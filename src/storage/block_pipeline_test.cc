#include "storage/block_pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

namespace {

// Produces `total` counting bytes in blocks of varying size.
struct Source {
  std::size_t total;
  std::size_t sent = 0;
  int blocks = 0;
  std::size_t operator()(std::uint8_t* buffer, std::size_t capacity) {
    ++blocks;
    const std::size_t size = std::min({capacity, total - sent, std::size_t{1000} + 77 * blocks});
    for (std::size_t i = 0; i < size; ++i) buffer[i] = static_cast<std::uint8_t>(sent + i);
    sent += size;
    return size;
  }
};

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
  int blocks = 0, submitted = 0;
  SideStage failing([&](const std::uint8_t*, std::size_t) {
    if (++blocks == 2) throw std::runtime_error("pass failed");
  });
  failing.SetThreaded(true);
  EXPECT_THROW(
      for (int i = 0; i < 100; ++i) {
        failing.Next();
        failing.Submit(1);
        ++submitted;
      } failing.Finish(),
      std::runtime_error);
  EXPECT_EQ(blocks, 2);
  EXPECT_LE(submitted, 2 + 4) << "the caller stops soon after the pass fails";

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
