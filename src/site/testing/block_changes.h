// Files changed as releases change them, and an update of one from the other in memory, counted
// as the network would carry it. Shared by the block tests and the matcher benchmark.
#pragma once

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/little_endian.h"
#include "site/block_matcher.h"

namespace block_data::testing {

// What one range request costs beyond its body.
constexpr std::uint64_t kRequestOverhead = 400;

inline std::string RandomBytes(std::size_t size, std::mt19937_64& random) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

struct ChangedFile {
  std::string bytes;
  std::uint64_t new_bytes = 0;  // written by the changes, so no update can avoid fetching them
};

enum class Change {
  kRewrite,         // 64 KiB rewritten in place: the file keeps its size and nothing shifts
  kInsertOrDelete,  // 1 to 8 KiB, half of each: everything after them shifts
};

// count changes of one kind at random offsets of old_bytes.
inline ChangedFile Changed(const std::string& old_bytes, Change kind, int count,
                           std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<std::size_t> offsets(count);
  for (auto& offset : offsets) offset = random() % old_bytes.size();
  std::sort(offsets.begin(), offsets.end());
  ChangedFile changed;
  std::size_t taken = 0;
  for (std::size_t offset : offsets) {
    if (offset < taken) continue;
    changed.bytes.append(old_bytes, taken, offset - taken);
    const bool rewrite = kind == Change::kRewrite;
    const std::size_t size = rewrite ? 64 * 1024 : 1024 + random() % (7 * 1024 + 1);
    const bool write = rewrite || random() % 2 == 0;
    if (write) changed.bytes += RandomBytes(size, random);
    changed.new_bytes += write ? size : 0;
    taken = std::min(old_bytes.size(), offset + (rewrite || !write ? size : 0));
  }
  changed.bytes.append(old_bytes, taken);
  return changed;
}

inline BlockDocuments DocumentsOf(const std::string& new_bytes,
                                  std::uint32_t coarse_size = kDefaultCoarseSize,
                                  std::uint32_t fine_size = kDefaultFineSize) {
  BlockDataWriter writer(coarse_size, fine_size);
  writer.Update(new_bytes.data(), new_bytes.size());
  return writer.Finish();
}

// The weak checksum of the window of window bytes at offset of bytes.
inline std::uint32_t WeakAt(const std::string& bytes, std::size_t offset, std::uint32_t window) {
  return RollingSum::Weak(
      RollingSum::Of(reinterpret_cast<const std::uint8_t*>(bytes.data()) + offset, window));
}

// Documents that a mirror without the key could serve for a file of size bytes: whole blocks that
// claim the given weak checksums in turn, and fine records of no real bytes that agree with their
// strong hashes, so that every offset whose window sums to one of those weaks costs the search a
// strong hash that finds nothing.
inline BlockDocuments HostileDocuments(std::uint64_t size, const std::vector<std::uint32_t>& weaks,
                                       std::uint64_t seed) {
  std::mt19937_64 random(seed);
  const std::uint64_t blocks = (size + kDefaultCoarseSize - 1) / kDefaultCoarseSize;
  const std::uint64_t per_block = kDefaultCoarseSize / kDefaultFineSize * kFineRecordSize;
  BlockDocuments documents;
  documents.coarse = "VBLK";
  little_endian::Append(documents.coarse, 1, 4);
  little_endian::Append(documents.coarse, size, 8);
  little_endian::Append(documents.coarse, kDefaultCoarseSize, 4);
  little_endian::Append(documents.coarse, kDefaultFineSize, 4);
  documents.fine =
      RandomBytes((size + kDefaultFineSize - 1) / kDefaultFineSize * kFineRecordSize, random);
  for (std::uint64_t block = 0; block < blocks; ++block) {
    little_endian::Append(documents.coarse, weaks[block % weaks.size()], kWeakSize);
    little_endian::Append(
        documents.coarse,
        StrongOf(std::string_view(documents.fine).substr(block * per_block, per_block)),
        kStrongSize);
  }
  return documents;
}

struct Transfer {
  std::uint64_t block_data = 0;
  std::uint64_t fine_records = 0;
  std::uint64_t fetched = 0;
  std::uint64_t requests = 0;
  std::vector<PlanRange> plan;

  std::uint64_t Moved() const {
    return block_data + fine_records + fetched + requests * kRequestOverhead;
  }
};

// The matcher's part of an update: search, fine records fetched per gap, refinement, plan.
inline Transfer Match(const std::shared_ptr<const std::string>& old_bytes,
                      const BlockDocuments& documents) {
  const BlockData data = ParseBlockData(documents.coarse);
  MemoryStream old(old_bytes);
  BlockMatcher matcher(data, old);
  matcher.Search();
  Transfer transfer;
  transfer.block_data = documents.coarse.size();
  for (const BlockRun& gap : matcher.Gaps()) {
    const std::uint64_t length = data.FineRecordsLength(gap.first, gap.end);
    matcher.Refine(
        gap, std::string_view(documents.fine).substr(data.FineRecordsOffset(gap.first), length));
    transfer.fine_records += length;
    ++transfer.requests;
  }
  transfer.plan = matcher.Plan();
  const PlanTotals totals = TotalsOf(transfer.plan);
  transfer.fetched = totals.fetched;
  transfer.requests += totals.fetch_ranges;
  return transfer;
}

}  // namespace block_data::testing
