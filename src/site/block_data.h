// Block data: what the updater needs to find the blocks of a new file in the file it already has,
// at any byte offset, so that it fetches only the rest. Two levels, each its own byte document:
//
// The coarse document, always fetched and covered by the release's signature through its SHA-256
// (all integers little-endian):
//   offset 0   4 bytes  magic "VBLK"
//          4   4 bytes  version, 1
//          8   8 bytes  file size S
//         16   4 bytes  coarse block size C, a power of two in [1 KiB, 16 MiB]
//         20   4 bytes  fine block size F, a power of two in [256 B, min(C, 64 KiB)], C / F at most
//         1024 24            N = ceil(S / C) records of 12 bytes, one per coarse block in file
//         order:
//                       4 bytes weak checksum, 8 bytes strong hash
// and nothing after them. Block i covers [i C, min((i + 1) C, S)); only the last may be short.
//
// The fine document, fetched by range only for the coarse blocks that were not found: one 6-byte
// record per fine block of the file in order (the first 6 bytes of the SHA-256 of the block's
// bytes). Fine block k covers [k F, min((k + 1) F, S)); the records of coarse block i start at
// i (C / F) 6.
//
// The strong hash of a coarse block is the first 8 bytes of the SHA-256 of its fine records, so
// the block's fine records, wherever they come from, are checked against the signed document, and
// checking a coarse block in the old file costs one pass of SHA-256 over its bytes as a fine
// check does.
//
// The weak checksum rolls over any byte offset: over bytes b_0 .. b_{n-1} the polynomial
// H = sum of T[b_j] K^(n-1-j) modulo 2^64 and the record holds the upper 32 bits of H. K is
// 0x9E3779B97F4A7C15; T[v] is the (v + 1)-th output of SplitMix64 seeded with 0x7661726E65
// ("varne"). Unlike XOR-of-rotations sums, a polynomial does not give every periodic run (a stretch
// of zeros) the same value, which would make the search check a strong hash at every offset of such
// a run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto.h"

namespace block_data {

constexpr std::uint32_t kMinCoarseSize = 1024;
// The sizes a release is built with. Edits of a few KiB, one every 100 KiB or so, each cost a
// coarse block's fine records and about one fine block beyond their own bytes; coarse blocks of
// 16 KiB seldom hold two such edits, whose bytes between them would be fetched.
constexpr std::uint32_t kDefaultCoarseSize = 16 * 1024;
constexpr std::uint32_t kDefaultFineSize = 512;
constexpr std::uint32_t kMaxFineSize = 64 * 1024;
constexpr std::size_t kHeaderSize = 24;
constexpr std::size_t kWeakSize = 4;
constexpr std::size_t kStrongSize = 8;
constexpr std::size_t kCoarseRecordSize = kWeakSize + kStrongSize;
constexpr std::size_t kFineRecordSize = 6;

// The polynomial checksum of the weak records, whole or rolled one byte at a time.
class RollingSum {
 public:
  explicit RollingSum(std::uint32_t window);

  // The polynomial of bytes, as a starting value or a piece to append (see Append).
  static std::uint64_t Of(const std::uint8_t* bytes, std::size_t size);
  // The polynomial of A followed by B, given A's and B's polynomials and B's length.
  static std::uint64_t Append(std::uint64_t a, std::uint64_t b, std::size_t b_size);
  static std::uint32_t Weak(std::uint64_t sum) { return static_cast<std::uint32_t>(sum >> 32); }

  // What moving the window on by one byte adds to sum * kFactor: out leaves at the front, in joins
  // at the back. It does not depend on the sum, so it is worked out beside the multiplication.
  std::uint64_t Step(std::uint8_t out, std::uint8_t in) const {
    return entering_[in] - leaving_[out];
  }
  // The sum of the window moved on by one byte.
  std::uint64_t Roll(std::uint64_t sum, std::uint8_t out, std::uint8_t in) const {
    return sum * kFactor + Step(out, in);
  }

  static constexpr std::uint64_t kFactor = 0x9E3779B97F4A7C15ull;

 private:
  static const std::uint64_t* Table();
  std::uint64_t entering_[256];
  std::uint64_t leaving_[256];
};

// The parsed coarse document. Every size and offset here is 64-bit.
struct BlockData {
  std::uint64_t file_size = 0;
  std::uint32_t coarse_size = kDefaultCoarseSize;
  std::uint32_t fine_size = kDefaultFineSize;
  std::vector<std::uint32_t> weak;
  std::vector<std::uint64_t> strong;  // the 8 bytes read little-endian

  std::uint64_t BlockCount() const { return weak.size(); }
  std::uint64_t BlockOffset(std::uint64_t block) const { return block * coarse_size; }
  std::uint64_t BlockLength(std::uint64_t block) const;
  std::uint64_t FinePerBlock() const { return coarse_size / fine_size; }
  // Where the fine records of blocks [first, end) lie in the fine document.
  std::uint64_t FineRecordsOffset(std::uint64_t first) const;
  std::uint64_t FineRecordsLength(std::uint64_t first, std::uint64_t end) const;
};

// Checks a coarse document strictly and returns what it holds. Anything that is not exactly a
// document of the form above throws DownloadManagerException "Block data error(<what>).".
BlockData ParseBlockData(std::string_view document);

// The strong hash of a coarse block from its fine records.
std::uint64_t StrongOf(std::string_view fine_records);

// Fine records and strong hashes through one digest, which costs more to set up than a fine block
// costs to digest. One thread at a time.
class BlockHasher {
 public:
  // The first 6 bytes of the SHA-256 of bytes: a fine record.
  std::string FineRecord(const std::uint8_t* bytes, std::size_t size);
  // The strong hash of a coarse block from its bytes, cut into fine blocks of fine_size.
  std::uint64_t Strong(const std::uint8_t* bytes, std::uint64_t size, std::uint32_t fine_size);

 private:
  platform::Sha256 sha_;
  std::string records_;
};

struct BlockDocuments {
  std::string coarse;
  std::string fine;
};

// Builds both documents from a file's bytes given in pieces of any size, so that the release tool
// feeds it in the pass that digests the file. One thread at a time; Finish once.
class BlockDataWriter {
 public:
  explicit BlockDataWriter(std::uint32_t coarse_size = kDefaultCoarseSize,
                           std::uint32_t fine_size = kDefaultFineSize);

  void Update(const void* bytes, std::size_t size);
  BlockDocuments Finish();

 private:
  void AddFine(const std::uint8_t* bytes, std::size_t size);
  void EndCoarse();

  std::uint32_t coarse_size_;
  std::uint32_t fine_size_;
  std::uint64_t file_size_ = 0;
  BlockHasher hasher_;
  std::string pending_;           // the start of a fine block not yet whole
  std::uint64_t coarse_sum_ = 0;  // the rolling sum of the coarse block so far
  std::size_t coarse_filled_ = 0;
  std::size_t coarse_fine_start_ = 0;  // where this coarse block's records begin in fine
  BlockDocuments documents_;
};

}  // namespace block_data
