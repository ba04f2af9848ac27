// The matcher's second half: the gaps its search left, refined by the fine records, and the new
// file planned as copies from the old file and ranges to fetch.
#include <algorithm>
#include <cstring>

#include "base/exception.h"
#include "site/block_matcher.h"

namespace block_data {

namespace {

// Adds the range to the plan, joined to the last one when it goes on from it the same way.
void Append(std::vector<PlanRange>& plan, const PlanRange& range) {
  if (!plan.empty()) {
    PlanRange& last = plan.back();
    if (last.copy == range.copy && last.offset + last.length == range.offset &&
        (!range.copy || last.old_offset + last.length == range.old_offset)) {
      last.length += range.length;
      return;
    }
  }
  plan.push_back(range);
}

}  // namespace

std::vector<BlockRun> BlockMatcher::Gaps() const {
  std::vector<BlockRun> gaps;
  if (gave_up_) return gaps;
  for (std::uint64_t block = 0; block < found_.size(); ++block) {
    if (found_[block] != kNotFound) continue;
    if (!gaps.empty() && gaps.back().end == block) {
      ++gaps.back().end;
    } else {
      gaps.push_back({block, block + 1});
    }
  }
  return gaps;
}

// The bytes of a gap that did not change sit where the blocks around it were found, shifted as
// those were; every fine block of the gap is looked for at both shifts, so unchanged bytes between
// two changes that share a gap are copied too.
void BlockMatcher::Refine(const BlockRun& gap, std::string_view fine_records) {
  if (!RecordsAgree(gap, fine_records)) {
    throw DownloadManagerException(
        fine_records.size() != data_.FineRecordsLength(gap.first, gap.end)
            ? "Block data error(fine records of the wrong length)."
            : "Block data error(fine records do not agree with their block).",
        true);
  }
  std::vector<std::int64_t> shifts;
  if (gap.first > 0) shifts.push_back(ShiftOf(gap.first - 1));
  if (gap.end < data_.BlockCount()) shifts.push_back(ShiftOf(gap.end));
  const std::size_t before = fine_found_.size();
  MatchFine(hasher_, gap.first * data_.FinePerBlock(), fine_records, shifts, fine_found_);
  // Kept in order, so that planning a part of the file finds its matches without a sort; gaps
  // refined in file order only append.
  const auto by_fine = [](const FineMatch& a, const FineMatch& b) { return a.fine < b.fine; };
  const auto added = fine_found_.begin() + static_cast<std::ptrdiff_t>(before);
  if (added != fine_found_.begin() && added != fine_found_.end() && by_fine(*added, added[-1])) {
    std::inplace_merge(fine_found_.begin(), added, fine_found_.end(), by_fine);
  }
}

std::vector<PlanRange> BlockMatcher::PlanRun(const PassedRun& run,
                                             std::string_view fine_records) const {
  std::vector<PlanRange> plan;
  if (!RecordsAgree(run.blocks, fine_records)) return plan;
  BlockHasher hasher;
  std::vector<FineMatch> found;
  MatchFine(hasher, run.blocks.first * data_.FinePerBlock(), fine_records, run.shifts, found);
  auto next = std::as_const(found).begin();
  for (std::uint64_t block = run.blocks.first; block < run.blocks.end; ++block) {
    PlanFine(plan, block, next, found.cend());
  }
  return plan;
}

bool BlockMatcher::RecordsAgree(const BlockRun& gap, std::string_view fine_records) const {
  if (fine_records.size() != data_.FineRecordsLength(gap.first, gap.end)) return false;
  const std::uint64_t per_block = data_.FinePerBlock() * kFineRecordSize;
  for (std::uint64_t block = gap.first; block < gap.end; ++block) {
    if (StrongOf(fine_records.substr((block - gap.first) * per_block, per_block)) !=
        data_.strong[block]) {
      return false;
    }
  }
  return true;
}

std::int64_t BlockMatcher::ShiftOf(std::uint64_t block) const {
  return static_cast<std::int64_t>(found_[block] - data_.BlockOffset(block));
}

// Reads the old bytes under the fine blocks of records moved by each shift, a few hundred blocks at
// a time, and looks there for each fine block not matched yet; appends the matches in order.
void BlockMatcher::MatchFine(BlockHasher& hasher, std::uint64_t first, std::string_view records,
                             std::span<const std::int64_t> shifts,
                             std::vector<FineMatch>& found) const {
  const std::uint64_t end = first + records.size() / kFineRecordSize;
  std::vector<std::uint64_t> matched(end - first, kNotFound);  // old offset per fine block
  const std::uint64_t per_read = std::max<std::uint64_t>(1, kBufferSize / data_.fine_size);
  std::vector<std::uint8_t> bytes;
  for (std::size_t s = 0; s < shifts.size(); ++s) {
    const std::int64_t shift = shifts[s];
    if (s > 0 && shift == shifts[0]) continue;
    const auto old_offset = [&](std::uint64_t fine) {
      return static_cast<std::int64_t>(fine * data_.fine_size) + shift;
    };
    for (std::uint64_t fine = first; fine < end; fine += per_read) {
      const std::uint64_t last = std::min(end, fine + per_read) - 1;
      const std::int64_t low = std::max<std::int64_t>(0, old_offset(fine));
      const std::int64_t high = std::min<std::int64_t>(static_cast<std::int64_t>(old_size_),
                                                       old_offset(last) + FineLength(last));
      if (low >= high) continue;
      bytes.resize(high - low);
      Read(low, bytes.data(), bytes.size());
      for (std::uint64_t k = fine; k <= last; ++k) {
        const std::int64_t offset = old_offset(k);
        const std::uint64_t length = FineLength(k);
        if (matched[k - first] != kNotFound || offset < low ||
            offset + static_cast<std::int64_t>(length) > high ||
            hasher.FineRecord(&bytes[offset - low], length) !=
                records.substr((k - first) * kFineRecordSize, kFineRecordSize)) {
          continue;
        }
        matched[k - first] = static_cast<std::uint64_t>(offset);
      }
    }
  }
  for (std::uint64_t k = first; k < end; ++k) {
    if (matched[k - first] != kNotFound) found.push_back({k, matched[k - first]});
  }
}

std::uint64_t BlockMatcher::FineLength(std::uint64_t fine) const {
  return std::min<std::uint64_t>(data_.fine_size, data_.file_size - fine * data_.fine_size);
}

void BlockMatcher::Read(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) const {
  // The two halves of the search share the stream, whose reads may move one position.
  std::lock_guard<std::mutex> hold(read_lock_);
  while (size > 0) {
    const std::int64_t got = old_.ReadAt(offset, buffer, size);
    if (got <= 0) throw DownloadManagerException("Old file read error.", true);
    offset += got;
    buffer += got;
    size -= got;
  }
}

std::vector<PlanRange> BlockMatcher::Plan() const {
  std::vector<PlanRange> plan;
  PlanBlocks(plan, 0, found_.size());
  return plan;
}

void BlockMatcher::PlanBlocks(std::vector<PlanRange>& plan, std::uint64_t first,
                              std::uint64_t end) const {
  auto next_fine = std::lower_bound(
      fine_found_.begin(), fine_found_.end(), data_.BlockOffset(first) / data_.fine_size,
      [](const FineMatch& match, std::uint64_t fine) { return match.fine < fine; });
  for (std::uint64_t block = first; block < end; ++block) {
    if (found_[block] != kNotFound) {
      Append(plan, {true, data_.BlockOffset(block), data_.BlockLength(block), found_[block]});
    } else {
      PlanFine(plan, block, next_fine, fine_found_.cend());
    }
  }
}

void BlockMatcher::PlanFine(std::vector<PlanRange>& plan, std::uint64_t block,
                            std::vector<FineMatch>::const_iterator& next,
                            std::vector<FineMatch>::const_iterator end) const {
  const std::uint64_t offset = data_.BlockOffset(block);
  const std::uint64_t block_end = offset + data_.BlockLength(block);
  for (std::uint64_t fine = offset / data_.fine_size; fine * data_.fine_size < block_end; ++fine) {
    const PlanRange range{false, fine * data_.fine_size, FineLength(fine), 0};
    if (next != end && next->fine == fine) {
      Append(plan, {true, range.offset, range.length, (next++)->old_offset});
    } else {
      Append(plan, range);
    }
  }
}

PlanTotals TotalsOf(const std::vector<PlanRange>& plan) {
  PlanTotals totals;
  for (const PlanRange& range : plan) {
    (range.copy ? totals.copied : totals.fetched) += range.length;
    if (!range.copy) ++totals.fetch_ranges;
  }
  return totals;
}

}  // namespace block_data
