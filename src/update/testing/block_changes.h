// Files changed as releases change them, and an update of one from the other in memory, counted
// as the network would carry it. Shared by the block tests and the matcher benchmark.
#pragma once

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "update/block_matcher.h"

namespace block_data::testing {

// What one range request costs beyond its body.
constexpr std::uint64_t kRequestOverhead = 400;

inline std::string RandomBytes(std::size_t size, std::mt19937_64& random) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i + 8 <= size; i += 8) {
    const std::uint64_t value = random();
    std::copy_n(reinterpret_cast<const char*>(&value), 8, &bytes[i]);
  }
  for (std::size_t i = size - size % 8; i < size; ++i) bytes[i] = static_cast<char>(random());
  return bytes;
}

// count changes at sorted random offsets, each given the old bytes between it and the previous.
template <typename Change>
std::string ChangeAt(const std::string& old_bytes, int count, std::uint64_t seed, Change change) {
  std::mt19937_64 random(seed);
  std::vector<std::size_t> offsets(count);
  for (auto& offset : offsets) offset = random() % old_bytes.size();
  std::sort(offsets.begin(), offsets.end());
  std::string bytes;
  std::size_t taken = 0;
  for (std::size_t offset : offsets) {
    if (offset < taken) continue;
    bytes.append(old_bytes, taken, offset - taken);
    taken = std::min(old_bytes.size(), offset + change(bytes, random));
  }
  bytes.append(old_bytes, taken);
  return bytes;
}

// Pieces rewritten in place: the file keeps its size and nothing shifts.
inline std::string Rewrite(const std::string& old_bytes, int pieces, std::size_t piece_size,
                           std::uint64_t seed) {
  return ChangeAt(old_bytes, pieces, seed,
                  [piece_size](std::string& bytes, std::mt19937_64& random) {
                    bytes += RandomBytes(piece_size, random);
                    return piece_size;
                  });
}

// Insertions and deletions of 1 to 8 KiB, half of each: everything after them shifts.
inline std::string Shift(const std::string& old_bytes, int changes, std::uint64_t seed) {
  return ChangeAt(old_bytes, changes, seed, [](std::string& bytes, std::mt19937_64& random) {
    const std::size_t size = 1024 + random() % (7 * 1024 + 1);
    if (random() % 2 == 0) return size;
    bytes += RandomBytes(size, random);
    return std::size_t{0};
  });
}

inline BlockDocuments DocumentsOf(const std::string& new_bytes) {
  BlockDataWriter writer;
  writer.Update(new_bytes.data(), new_bytes.size());
  return writer.Finish();
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
