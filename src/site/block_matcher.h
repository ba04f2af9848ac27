// Finds the blocks of a new file in the old file it replaces, and plans the new file as ranges
// copied from the old file and ranges to fetch. Steps, in this order:
//   1. Search: one streaming pass over the old file finds the coarse blocks at any offset. Its
//      work is bounded by the old file's size, whatever the block data claims: each offset costs at
//      most one strong hash and one lookup, a window of one repeated byte is hashed once however
//      long the run, identical blocks of the new file are one entry, and the strong hashes that
//      find nothing may cost about half a pass over the old file. Beyond that the block data is not
//      worth searching for (a hostile mirror's, or a file unlike the old one): the search gives
//      up, and the plan fetches the whole file.
//   2. For each gap (a run of coarse blocks not found) the caller fetches the gap's fine records
//      (BlockData::FineRecordsOffset/Length) and hands them to Refine, which checks them against
//      the coarse records and looks for the gap's fine blocks where the blocks on either side
//      of the gap were found, so only the fine blocks that the changes touch are left.
//   3. Plan: the new file in order, adjacent ranges of the same kind merged. Gaps refined in file
//      order let the caller plan the blocks before the next gap while later gaps wait.
// Every copy the plan names was confirmed by a strong hash of the old bytes. One thread at a time
// (a large old file's search runs a second thread of its own, which reads the old stream at the
// same time); the old file must not change while a matcher reads it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "site/block_data.h"
#include "storage/byte_stream.h"

namespace block_data {

struct PlanRange {
  bool copy = false;
  std::uint64_t offset = 0;  // in the new file
  std::uint64_t length = 0;
  std::uint64_t old_offset = 0;  // where a copy comes from
};

struct BlockRun {
  std::uint64_t first = 0;
  std::uint64_t end = 0;
};

struct PlanTotals {
  std::uint64_t copied = 0;
  std::uint64_t fetched = 0;
  std::uint64_t fetch_ranges = 0;
};

class BlockMatcher {
 public:
  // data and old must outlive the matcher.
  BlockMatcher(const BlockData& data, ByteStream& old);

  // Told, from the search's own threads and while it runs, of each run of blocks it passed over
  // between two blocks it found about where the new file has them (a run of at most
  // kMostPassedBlocks, the two found blocks that far apart in both files give or take as much):
  // such a run is most likely a gap, which a caller may start planning before the search ends.
  struct PassedRun {
    BlockRun blocks;
    std::int64_t shifts[2] = {0, 0};  // old offset less new offset of the blocks either side
  };
  using PassedOver = std::function<void(const PassedRun&)>;
  static constexpr std::uint64_t kMostPassedBlocks = 64;

  // Throws DownloadManagerException when the old file cannot be read.
  void Search(const PassedOver& passed_over = nullptr);
  // The search found its work past its bound and kept nothing: there are no gaps to refine, and
  // the plan fetches the whole file.
  bool GaveUp() const { return gave_up_; }
  std::vector<BlockRun> Gaps() const;
  // fine_records are the gap's records as the fine document holds them; records that do not agree
  // with the coarse records throw DownloadManagerException "Block data error(...).".
  void Refine(const BlockRun& gap, std::string_view fine_records);
  std::vector<PlanRange> Plan() const;
  // The plan of a passed-over run as if it were a gap refined with fine_records: its fine blocks
  // looked for at the shifts of the blocks either side. Empty when the records do not agree with
  // the blocks. Any thread, also while the search runs.
  std::vector<PlanRange> PlanRun(const PassedRun& run, std::string_view fine_records) const;
  // Appends the plan of blocks [first, end) to plan, lengthening its last range where the next
  // continues it.
  void PlanBlocks(std::vector<PlanRange>& plan, std::uint64_t first, std::uint64_t end) const;

 private:
  // The old file streams through a buffer of this size (or two coarse blocks, if larger), and the
  // refinement reads it in pieces of this size, so memory does not grow with the file.
  static constexpr std::size_t kBufferSize = 4 * 1024 * 1024;
  static constexpr std::uint64_t kNotFound = ~std::uint64_t{0};

  struct FineMatch {
    std::uint64_t fine = 0;  // index of the fine block in the new file
    std::uint64_t old_offset = 0;
  };

  struct Stream {
    std::vector<std::uint8_t> buffer;
    std::uint64_t base = 0;  // the old offset of buffer[0]
    std::uint64_t filled = 0;
  };

  // A whole block of the new file by its checksums; identical blocks share one, the first.
  struct Candidate {
    std::uint32_t weak = 0;
    std::uint64_t strong = 0;
    std::uint64_t block = 0;
  };

  // What one thread of the search found, and the digest it uses.
  struct Scan {
    std::vector<std::uint64_t> found;  // old offset per coarse block, or kNotFound
    BlockHasher hasher;
    std::uint64_t budget = 0;  // the bytes it may still hash in vain
    // The window holds one byte value repeated, and its strong hash found nothing.
    bool uniform_miss = false;
    const PassedOver* passed_over = nullptr;
    std::uint64_t last_block = kNotFound;  // the block found last, and where
    std::uint64_t last_position = 0;
  };

  void BuildIndex();
  // Looks for the blocks that start at old offsets [begin, end).
  void SearchPart(Scan& scan, std::uint64_t begin, std::uint64_t end);
  const std::uint8_t* BytesAt(Stream& stream, std::uint64_t position, std::uint64_t size);
  static std::uint64_t SameBytesFrom(const Stream& stream, std::uint64_t from, std::uint8_t value);
  // The word's index comes from the weak's lower bits and its two bits from the upper twelve, which
  // the index never uses while the filter has at most 2^20 words. Constant shifts and one mask keep
  // the test a few instructions long.
  static bool MayHold(const std::uint64_t* filter, std::uint32_t mask, std::uint32_t weak) {
    const std::uint64_t word = filter[weak & mask];
    return (word >> (weak >> 26)) & (word >> ((weak >> 20) & 63)) & 1;
  }
  static std::uint64_t FilterBits(std::uint32_t weak) {
    return (std::uint64_t{1} << (weak >> 26)) | (std::uint64_t{1} << ((weak >> 20) & 63));
  }
  bool MayHold(std::uint32_t weak) const { return MayHold(filter_.data(), filter_mask_, weak); }
  std::uint64_t RollOn(const RollingSum& rolling, std::uint64_t& sum, const std::uint8_t* bytes,
                       std::uint64_t rolls) const;
  void NoteFound(Scan& scan, std::uint64_t block, std::uint64_t position);
  bool IsNext(Scan& scan, std::uint64_t block, std::uint64_t position, const std::uint8_t* bytes);
  std::uint64_t TryBlock(Scan& scan, std::uint64_t offset, std::uint32_t weak,
                         const std::uint8_t* bytes);
  void ShareFound();
  void MatchTail();
  bool ConfirmBlock(std::uint64_t block, std::uint64_t old_offset);
  std::uint64_t StrongAt(const std::uint8_t* bytes, std::uint64_t length);
  bool RecordsAgree(const BlockRun& gap, std::string_view fine_records) const;
  std::int64_t ShiftOf(std::uint64_t block) const;
  // Finds the fine blocks of records, from fine block `first` on, in the old file at each shift.
  void MatchFine(BlockHasher& hasher, std::uint64_t first, std::string_view records,
                 std::span<const std::int64_t> shifts, std::vector<FineMatch>& found) const;
  // Appends the ranges of a block not found: its fine blocks, copied where found (from `next` on,
  // which moves past them) and fetched elsewhere.
  void PlanFine(std::vector<PlanRange>& plan, std::uint64_t block,
                std::vector<FineMatch>::const_iterator& next,
                std::vector<FineMatch>::const_iterator end) const;
  void Read(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) const;
  std::uint64_t FineLength(std::uint64_t fine) const;

  const BlockData& data_;
  ByteStream& old_;
  std::uint64_t old_size_;
  std::vector<std::uint64_t> found_;  // old offset per coarse block, or kNotFound
  std::vector<Candidate> index_;      // by weak, then strong
  // Where in the index the weaks of each value of the upper bits begin, and where the last ends.
  std::vector<std::uint32_t> buckets_;
  unsigned bucket_shift_ = 32;
  // A Bloom filter of the indexed weaks: two bits of one word per weak, so that a window costs one
  // load from the cache before any lookup.
  std::vector<std::uint64_t> filter_;
  std::uint32_t filter_mask_ = 0;
  std::vector<FineMatch> fine_found_;  // by fine block
  BlockHasher hasher_;
  mutable std::mutex read_lock_;
  std::atomic<bool> gave_up_{false};
};

PlanTotals TotalsOf(const std::vector<PlanRange>& plan);

}  // namespace block_data
