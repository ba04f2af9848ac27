#include "storage/block_pipeline.h"

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
