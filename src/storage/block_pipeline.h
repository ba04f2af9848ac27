// Streams a large amount of data in blocks from a producer to a consumer. With threaded set, the
// producer runs on a worker thread while the calling thread consumes, so that reading (or
// digesting) one block overlaps writing the one before: a large entry then costs the slower stage,
// not the sum of both. Memory stays at a few blocks whatever the size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

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
