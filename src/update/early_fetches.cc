#include "update/early_fetches.h"

#include <algorithm>
#include <numeric>
#include <system_error>

#include "base/exception.h"

namespace block_update {

using block_data::BlockRun;

EarlyFetches::EarlyFetches(const block_index::Entry& entry, const block_data::BlockMatcher& matcher,
                           const block_data::BlockData& data, std::tstring fine_url,
                           RangeQueue& queue, DataRanges data_ranges)
    : entry_(entry),
      matcher_(matcher),
      data_(data),
      fine_url_(std::move(fine_url)),
      queue_(queue),
      data_ranges_(std::move(data_ranges)) {}

EarlyFetches::~EarlyFetches() {
  if (!planner_.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    search_ended_ = true;
  }
  changed_.notify_all();
  queue_.Stop();
  planner_.join();
}

void EarlyFetches::Ask(const block_data::BlockMatcher::PassedRun& run) {
  const std::uint64_t offset = data_.FineRecordsOffset(run.blocks.first);
  const std::uint64_t length = data_.FineRecordsLength(run.blocks.first, run.blocks.end);
  {
    std::lock_guard<std::mutex> hold(lock_);
    // Records outside their document are left for the plan, which refuses them.
    if (length > entry_.fine_size || offset > entry_.fine_size - length ||
        record_bytes_ + length > kMostRecords) {
      return;
    }
    if (!planner_.joinable()) {
      try {
        planner_ = std::thread([this] { Plan(); });
      } catch (const std::system_error&) {
        return;  // no thread: the plan asks for everything once the search ends
      }
    }
    record_bytes_ += length;
    const std::uint64_t at = entry_.fine_offset + offset;
    runs_.push_back({run, 0, std::nullopt, false});
    pending_records_.push_back({fine_url_, at, at + length - 1});
    if (pending_records_.size() < kTogether) return;
    AddRecords();
  }
  changed_.notify_all();
}

void EarlyFetches::AddRecords() {
  const std::size_t first = queue_.Add(std::exchange(pending_records_, {}), RangeQueue::More::kYes,
                                       RangeQueue::Ahead::kBeyond);
  for (std::size_t i = added_runs_; i < runs_.size(); ++i) runs_[i].range = first + i - added_runs_;
  added_runs_ = runs_.size();
}

void EarlyFetches::AddData() {
  if (pending_data_.empty()) return;
  const std::size_t first =
      queue_.Add(pending_data_, RangeQueue::More::kYes, RangeQueue::Ahead::kBeyond);
  for (std::size_t k = 0; k < pending_data_.size(); ++k) {
    data_by_first_[pending_data_[k].first] = {first + k, pending_data_[k].last, false};
  }
  pending_data_.clear();
}

void EarlyFetches::Plan() {
  try {
    for (std::size_t i = 0;; ++i) {
      Run* run = nullptr;
      {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [&] { return i < added_runs_ || search_ended_; });
        if (i >= added_runs_) return;
        // Elements of a deque stay where they are as more are added.
        run = &runs_[i];
      }
      PlanRun(*run, i + 1);
    }
  } catch (...) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      failure_ = std::current_exception();
    }
    changed_.notify_all();
  }
}

void EarlyFetches::PlanRun(Run& run, std::size_t next) {
  std::optional<std::string> records = queue_.Take(run.range);
  std::vector<RangeQueue::Range> ranges;
  bool planning = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    planning = !search_ended_ && data_bytes_ < kMostData;
  }
  const std::optional<std::chrono::steady_clock::duration> latency = queue_.Latency();
  planning = planning && latency && *latency >= kFar;
  if (planning && records) ranges = data_ranges_(matcher_.PlanRun(run.passed, *records));
  {
    std::lock_guard<std::mutex> hold(lock_);
    run.records = std::move(records);
    run.arrived = true;
    std::uint64_t bytes = 0;
    for (const RangeQueue::Range& range : ranges) bytes += range.last - range.first + 1;
    if (!search_ended_ && data_bytes_ + bytes <= kMostData) {
      data_bytes_ += bytes;
      pending_data_.insert(pending_data_.end(), ranges.begin(), ranges.end());
      // Asked for together, unless the planner would wait for the next run's records: a batch of
      // a worker holds ranges of one document, so data and records asked for in turn would be
      // asked for a few at a time.
      if (pending_data_.size() >= kTogether || next >= added_runs_ ||
          !queue_.Ready(runs_[next].range)) {
        AddData();
      }
    }
  }
  changed_.notify_all();
}

void EarlyFetches::SearchEnded() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    search_ended_ = true;
    if (!pending_records_.empty()) AddRecords();
    pending_data_.clear();  // from now on the plan asks for the data
    // The two halves of the search ask in their own orders.
    in_order_.resize(runs_.size());
    std::iota(in_order_.begin(), in_order_.end(), std::size_t{0});
    std::sort(in_order_.begin(), in_order_.end(), [&](std::size_t a, std::size_t b) {
      return runs_[a].passed.blocks.first < runs_[b].passed.blocks.first;
    });
  }
  changed_.notify_all();
}

std::size_t EarlyFetches::RunOf(const BlockRun& gap) const {
  const auto first = [&](std::size_t run) { return runs_[run].passed.blocks.first; };
  const auto after =
      std::upper_bound(in_order_.begin(), in_order_.end(), gap.first,
                       [&](std::uint64_t block, std::size_t run) { return block < first(run); });
  if (after == in_order_.begin() || gap.end > runs_[*std::prev(after)].passed.blocks.end) {
    return runs_.size();
  }
  return *std::prev(after);
}

bool EarlyFetches::Holds(const BlockRun& gap) const { return RunOf(gap) < runs_.size(); }

std::optional<std::string_view> EarlyFetches::Take(const BlockRun& gap) {
  std::unique_lock<std::mutex> hold(lock_);
  const Run& run = runs_.at(RunOf(gap));
  changed_.wait(hold, [&] { return run.arrived || failure_; });
  if (!run.arrived) std::rethrow_exception(failure_);
  const BlockRun& blocks = run.passed.blocks;
  if (!run.records || run.records->size() != data_.FineRecordsLength(blocks.first, blocks.end)) {
    return std::nullopt;
  }
  return std::string_view(*run.records)
      .substr(data_.FineRecordsOffset(gap.first) - data_.FineRecordsOffset(blocks.first),
              data_.FineRecordsLength(gap.first, gap.end));
}

std::optional<std::size_t> EarlyFetches::DataRange(const RangeQueue::Range& range) {
  std::lock_guard<std::mutex> hold(lock_);
  const auto found = data_by_first_.find(range.first);
  if (found == data_by_first_.end() || found->second.used || found->second.last != range.last) {
    return std::nullopt;
  }
  found->second.used = true;
  return found->second.range;
}

void EarlyFetches::AskInOrder(std::vector<RangeQueue::Range> ranges,
                              std::vector<std::size_t>& indices) {
  std::vector<RangeQueue::Range> fresh;
  std::vector<std::size_t> fresh_at;
  for (RangeQueue::Range& range : ranges) {
    if (const std::optional<std::size_t> early = DataRange(range)) {
      indices.push_back(*early);
      continue;
    }
    fresh_at.push_back(indices.size());
    indices.push_back(0);
    fresh.push_back(std::move(range));
  }
  const std::size_t first = queue_.Add(std::move(fresh), RangeQueue::More::kYes);
  for (std::size_t k = 0; k < fresh_at.size(); ++k) indices[fresh_at[k]] = first + k;
}

void EarlyFetches::TakeRest() {
  if (planner_.joinable()) planner_.join();
  if (failure_) std::rethrow_exception(failure_);
  for (auto& [first, data] : data_by_first_) {
    if (!std::exchange(data.used, true)) queue_.Take(data.range);
  }
}

}  // namespace block_update
