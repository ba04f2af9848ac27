#include "storage/block_pipeline.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kBlocks = 4;

void RunInline(const BlockProducer& produce, const BlockConsumer& consume) {
  auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kPipelineBlockSize);
  for (std::size_t size; (size = produce(buffer.get(), kPipelineBlockSize)) > 0;) {
    consume(buffer.get(), size);
  }
}

// A ring of blocks: the worker fills them in order, the caller empties them in the same order.
class Ring {
 public:
  Ring() {
    for (auto& block : blocks_) {
      block.data = std::make_unique_for_overwrite<std::uint8_t[]>(kPipelineBlockSize);
    }
  }

  void Produce(const BlockProducer& produce) {
    try {
      for (std::size_t n = 0;; ++n) {
        Block& block = blocks_[n % kBlocks];
        if (!WaitFor(block, false)) return;
        const std::size_t size = produce(block.data.get(), kPipelineBlockSize);
        Publish(block, size);
        if (size == 0) return;
      }
    } catch (...) {
      std::lock_guard<std::mutex> hold(mutex_);
      failure_ = std::current_exception();
      changed_.notify_all();
    }
  }

  // Returns after the end marker; throws the producer's failure.
  void Consume(const BlockConsumer& consume) {
    for (std::size_t n = 0;; ++n) {
      Block& block = blocks_[n % kBlocks];
      if (!WaitFor(block, true)) std::rethrow_exception(failure_);
      if (block.size == 0) return;
      consume(block.data.get(), block.size);
      std::lock_guard<std::mutex> hold(mutex_);
      block.full = false;
      changed_.notify_all();
    }
  }

  void Stop() {
    std::lock_guard<std::mutex> hold(mutex_);
    stopped_ = true;
    changed_.notify_all();
  }

 private:
  struct Block {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
    bool full = false;
  };

  // Waits until the block is full (or empty); false when the other side failed or stopped.
  bool WaitFor(Block& block, bool full) {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [&] { return block.full == full || failure_ || stopped_; });
    return block.full == full && !stopped_;
  }

  void Publish(Block& block, std::size_t size) {
    std::lock_guard<std::mutex> hold(mutex_);
    block.size = size;
    block.full = true;
    changed_.notify_all();
  }

  Block blocks_[kBlocks];
  std::mutex mutex_;
  std::condition_variable changed_;
  std::exception_ptr failure_;
  bool stopped_ = false;
};

}  // namespace

void RunBlockPipeline(const BlockProducer& produce, const BlockConsumer& consume, bool threaded) {
  if (!threaded) return RunInline(produce, consume);
  Ring ring;
  std::thread worker([&] { ring.Produce(produce); });
  try {
    ring.Consume(consume);
  } catch (...) {
    ring.Stop();
    worker.join();
    throw;
  }
  worker.join();
}

SideStage::~SideStage() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopped_ = true;
    changed_.notify_all();
  }
  worker_.join();
}

void SideStage::SetThreaded(bool threaded) {
  threaded_ = threaded;
  if (threaded_ && !worker_.joinable()) worker_ = std::thread([this] { Work(); });
}

// Without the worker one block is enough. Blocks are allocated when first filled.
SideStage::Block& SideStage::Current() { return blocks_[threaded_ ? next_ % kBlocks : 0]; }

std::uint8_t* SideStage::Next() {
  Block& block = Current();
  WaitFree(block);
  if (!block.data) block.data = std::make_unique_for_overwrite<std::uint8_t[]>(kPipelineBlockSize);
  return block.data.get();
}

void SideStage::Submit(std::size_t size) {
  Block& block = Current();
  if (!threaded_) return pass_(block.data.get(), size);
  ++next_;
  std::lock_guard<std::mutex> hold(mutex_);
  block.size = size;
  block.submitted = true;
  changed_.notify_all();
}

void SideStage::Finish() {
  for (auto& block : blocks_) WaitFree(block);
}

void SideStage::WaitFree(Block& block) {
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait(hold, [&] { return !block.submitted || failure_; });
  if (failure_) std::rethrow_exception(failure_);
}

void SideStage::Work() {
  for (std::size_t n = 0;; ++n) {
    Block& block = blocks_[n % kBlocks];
    {
      std::unique_lock<std::mutex> hold(mutex_);
      changed_.wait(hold, [&] { return block.submitted || stopped_; });
      if (stopped_) return;
    }
    try {
      pass_(block.data.get(), block.size);
    } catch (...) {
      std::lock_guard<std::mutex> hold(mutex_);
      failure_ = std::current_exception();
      changed_.notify_all();
      return;
    }
    std::lock_guard<std::mutex> hold(mutex_);
    block.submitted = false;
    changed_.notify_all();
  }
}
