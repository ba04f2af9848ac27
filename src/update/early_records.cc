#include "update/early_records.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace block_update {

using block_data::BlockRun;

EarlyRecords::EarlyRecords(const block_index::Entry& entry, const block_data::BlockData& data,
                           std::tstring fine_url, RangeQueue& queue)
    : entry_(entry), data_(data), fine_url_(std::move(fine_url)), queue_(queue) {}

void EarlyRecords::Ask(const BlockRun& run) {
  const std::uint64_t offset = data_.FineRecordsOffset(run.first);
  const std::uint64_t length = data_.FineRecordsLength(run.first, run.end);
  std::lock_guard<std::mutex> hold(lock_);
  // Records outside their document are left for the plan, which refuses them.
  if (length > entry_.fine_size || offset > entry_.fine_size - length ||
      bytes_ + length > kMostBytes) {
    return;
  }
  bytes_ += length;
  runs_.push_back({run, runs_.size(), std::nullopt, false});
  const std::uint64_t at = entry_.fine_offset + offset;
  queue_.Add({{fine_url_, at, at + length - 1}}, RangeQueue::More::kYes);
}

std::size_t EarlyRecords::SearchEnded() {
  // The two halves of the search ask in their own orders.
  std::sort(runs_.begin(), runs_.end(),
            [](const Run& a, const Run& b) { return a.blocks.first < b.blocks.first; });
  return runs_.size();
}

std::size_t EarlyRecords::RunOf(const BlockRun& gap) const {
  const auto after = std::upper_bound(
      runs_.begin(), runs_.end(), gap.first,
      [](std::uint64_t first, const Run& run) { return first < run.blocks.first; });
  if (after == runs_.begin() || gap.end > std::prev(after)->blocks.end) return runs_.size();
  return static_cast<std::size_t>(std::prev(after) - runs_.begin());
}

bool EarlyRecords::Holds(const BlockRun& gap) const { return RunOf(gap) < runs_.size(); }

std::optional<std::string_view> EarlyRecords::Take(const BlockRun& gap) {
  Run& run = runs_.at(RunOf(gap));
  if (!run.taken) {
    run.taken = true;
    run.records = queue_.Take(run.range);
  }
  const BlockRun& blocks = run.blocks;
  if (!run.records || run.records->size() != data_.FineRecordsLength(blocks.first, blocks.end)) {
    return std::nullopt;
  }
  return std::string_view(*run.records)
      .substr(data_.FineRecordsOffset(gap.first) - data_.FineRecordsOffset(blocks.first),
              data_.FineRecordsLength(gap.first, gap.end));
}

void EarlyRecords::TakeRest() {
  for (Run& run : runs_) {
    if (!std::exchange(run.taken, true)) queue_.Take(run.range);
  }
}

}  // namespace block_update
