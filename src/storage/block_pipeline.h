// Streams a large amount of data in blocks from a producer to a consumer. With threaded set, the
// producer runs on a worker thread while the calling thread consumes, so that reading (or
// digesting) one block overlaps writing the one before: a large entry then costs the slower stage,
// not the sum of both. Memory stays at a few blocks whatever the size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// Fills buffer with up to capacity bytes and returns the count; 0 means the data has ended.
// Failures are thrown; they reach Run's caller.
using BlockProducer = std::function<std::size_t(std::uint8_t* buffer, std::size_t capacity)>;
// Takes one block; failures are thrown and stop the producer.
using BlockConsumer = std::function<void(std::uint8_t* data, std::size_t size)>;

// Returns when the producer has ended and every block has been consumed, or throws the first
// failure of either side (the worker is always joined first). The consumer may change the bytes
// it is given.
void RunBlockPipeline(const BlockProducer& produce, const BlockConsumer& consume, bool threaded);

// The size of one block.
inline constexpr std::size_t kPipelineBlockSize = 256 * 1024;
// Entries at least this large are worth a worker thread.
inline constexpr std::uint64_t kPipelineThreadedSize = 4ull << 20;

// Runs a read-only pass over a stream of blocks (a digest) on a worker thread beside the caller's
// own work on the same blocks: the caller fills a block, hands it over and goes on reading it while
// the worker passes over it. Digesting data while writing it then costs the slower of the two, and
// the worker does nothing but its pass. One stage serves many streams, one after another, so that
// its blocks and its worker are made once.
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
