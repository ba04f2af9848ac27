// Streams a large amount of data in blocks through a second thread. The caller fills each block
// and hands it to a pass that only reads it (a digest, or writing it out), which runs on a worker
// while the caller goes on: a large entry then costs the slower of the two, not their sum. Memory
// stays at a few blocks whatever the size.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// The size of one block.
inline constexpr std::size_t kPipelineBlockSize = 256 * 1024;
// Entries at least this large are worth a worker thread.
inline constexpr std::uint64_t kPipelineThreadedSize = 4ull << 20;

// The caller fills a block, hands it over and may go on reading it while the worker passes over
// it; the worker does nothing but its pass. One stage serves many streams, one after another, so
// that its blocks and its worker are made once. Failures of the pass reach the caller at its next
// call.
class SideStage {
 public:
  using Pass = std::function<void(const std::uint8_t* data, std::size_t size)>;

  explicit SideStage(Pass pass) : pass_(std::move(pass)) {}
  // Stops the worker, dropping blocks not yet passed over, and joins it.
  ~SideStage();
  SideStage(const SideStage&) = delete;
  SideStage& operator=(const SideStage&) = delete;

  // Chooses, before a stream's first block, whether its blocks go to the worker (started when first
  // needed) or are passed over by Submit itself: a thread hand-over per block only pays off for
  // large streams.
  void SetThreaded(bool threaded);
  // The next block to fill, kPipelineBlockSize bytes; waits until the worker is done with it.
  // Throws the pass's failure.
  std::uint8_t* Next();
  // Hands over the first size bytes of the block from the last Next. From here on the caller may
  // still read the block, but never change it.
  void Submit(std::size_t size);
  // Returns when every block handed over has been passed over; throws the pass's failure.
  void Finish();

 private:
  static constexpr std::size_t kBlocks = 4;
  struct Block {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
    bool submitted = false;
  };

  Block& Current();
  void Work();
  // Waits until the block is free; throws the pass's failure.
  void WaitFree(Block& block);

  Pass pass_;
  bool threaded_ = false;
  Block blocks_[kBlocks];
  std::size_t next_ = 0;  // the block the caller fills next
  std::mutex mutex_;
  std::condition_variable changed_;
  std::exception_ptr failure_;
  bool stopped_ = false;
  std::thread worker_;
};
