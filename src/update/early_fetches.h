// Fetches started while the block search still runs, when the link would otherwise be idle. A run
// of blocks the search passed over between two blocks it found about where the new file has them
// is most likely a gap: its fine records cost a few bytes, and once they are in, a planner thread
// plans the run as the gap would be planned and asks for its data. A guess that proves wrong costs
// only what was fetched for it: the plan takes an early data range only where it asks for exactly
// that range, and every other is taken and dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/tstring.h"
#include "site/block_data.h"
#include "site/block_index.h"
#include "site/block_matcher.h"
#include "update/range_queue.h"

namespace block_update {

class EarlyFetches {
 public:
  // The ranges to fetch for a part of the plan; none when its data cannot be asked for yet.
  using DataRanges =
      std::function<std::vector<RangeQueue::Range>(std::span<const block_data::PlanRange>)>;

  // The records are asked for from fine_url (the fine document, where entry says) and the data as
  // data_ranges says, through queue; all must outlive this.
  EarlyFetches(const block_index::Entry& entry, const block_data::BlockMatcher& matcher,
               const block_data::BlockData& data, std::tstring fine_url, RangeQueue& queue,
               DataRanges data_ranges);
  // Stops the queue if the planner still runs (a run that ends early).
  ~EarlyFetches();
  EarlyFetches(const EarlyFetches&) = delete;
  EarlyFetches& operator=(const EarlyFetches&) = delete;

  // A run the search passed over; called from the search's threads.
  void Ask(const block_data::BlockMatcher::PassedRun& run);
  // No more data is asked for early: the plan asks from now on.
  void SearchEnded();
  // Whether a run asked for early holds gap; after SearchEnded.
  bool Holds(const block_data::BlockRun& gap) const;
  // The records of a gap a run holds, waiting for them; none when the server did not serve them
  // whole.
  std::optional<std::string_view> Take(const block_data::BlockRun& gap);
  // Asks for the ranges of a part of the plan, in file order: those asked for early are taken
  // where they are, the others added to the queue. Appends each range's place in the queue to
  // indices.
  void AskInOrder(std::vector<RangeQueue::Range> ranges, std::vector<std::size_t>& indices);
  // Waits for the planner and takes the early data the plan did not use, so that it holds no
  // room of what the queue asks ahead.
  void TakeRest();

 private:
  // What is asked for early stays within these, besides what the queue asks ahead.
  static constexpr std::uint64_t kMostRecords = 1 << 20;
  static constexpr std::uint64_t kMostData = 4 << 20;
  // Data is asked for early only from a server at least this far: nearer, the link is not what the
  // update waits for, and the search needs the cores more than the fetches do.
  static constexpr std::chrono::milliseconds kFar{10};
  // Ranges are added to the queue this many at a time.
  static constexpr std::size_t kTogether = 16;

  struct Run {
    block_data::BlockMatcher::PassedRun passed;
    std::size_t range = 0;  // of its records in the queue
    std::optional<std::string> records;
    bool arrived = false;
  };
  struct Data {
    std::size_t range = 0;
    std::uint64_t last = 0;
    bool used = false;
  };

  void Plan();
  // Plans the run once its records are in, asking for its data while the search runs; runs_[next]
  // is planned next.
  void PlanRun(Run& run, std::size_t next);
  // Adds the records and data asked for since the last time to the queue.
  void AddRecords();
  void AddData();
  // The queue's range asked for early with exactly range's bytes, once; none otherwise.
  std::optional<std::size_t> DataRange(const RangeQueue::Range& range);
  // The run that holds gap, or runs_.size().
  std::size_t RunOf(const block_data::BlockRun& gap) const;

  const block_index::Entry& entry_;
  const block_data::BlockMatcher& matcher_;
  const block_data::BlockData& data_;
  const std::tstring fine_url_;
  RangeQueue& queue_;
  const DataRanges data_ranges_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::size_t added_runs_ = 0;                                     // whose records are in the queue
  std::vector<RangeQueue::Range> pending_records_, pending_data_;  // not in the queue yet
  std::deque<Run> runs_;                                           // in the order asked for
  std::vector<std::size_t> in_order_;  // runs_ by their first block, once the search ended
  std::map<std::uint64_t, Data> data_by_first_;
  std::uint64_t record_bytes_ = 0, data_bytes_ = 0;
  bool search_ended_ = false;
  std::exception_ptr failure_;
  std::thread planner_;
};

}  // namespace block_update
