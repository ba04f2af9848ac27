// Fine records asked for while the block search still runs. A run of blocks the search passed over
// between two blocks it found about where the new file has them is most likely a gap, and its fine
// records cost a few bytes: asked for then, they and the queue's connections are ready when the
// search ends, and the first data follows at once rather than two round trips later. A guess that
// proves wrong (the run's blocks found elsewhere after all) costs only its records.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/tstring.h"
#include "site/block_data.h"
#include "site/block_index.h"
#include "site/block_matcher.h"
#include "update/range_queue.h"

namespace block_update {

class EarlyRecords {
 public:
  // The records are asked for from fine_url (the fine document, where entry says) through queue,
  // whose first ranges they become; all must outlive this.
  EarlyRecords(const block_index::Entry& entry, const block_data::BlockData& data,
               std::tstring fine_url, RangeQueue& queue);

  // A run the search passed over; called from the search's threads.
  void Ask(const block_data::BlockRun& run);
  // Once the search ended: how many ranges of the queue are early records.
  std::size_t SearchEnded();
  // Whether a run asked for early holds gap.
  bool Holds(const block_data::BlockRun& gap) const;
  // The records of a gap it holds, taken from the queue (waiting for them) as gaps are refined,
  // in file order; none when the server did not serve them whole.
  std::optional<std::string_view> Take(const block_data::BlockRun& gap);
  // Takes the records no gap needed, so that every early range was taken once.
  void TakeRest();

 private:
  // The records asked for early stay within this. They are taken in file order, not in the order
  // asked, so they must never fill what the queue asks ahead: the ranges asked after them (taken
  // between them) could not be claimed.
  static constexpr std::uint64_t kMostBytes = RangeQueue::kLeastAhead / 2;

  struct Run {
    block_data::BlockRun blocks;
    std::size_t range = 0;  // in the queue
    std::optional<std::string> records;
    bool taken = false;
  };
  // The run that holds gap, or runs_.size().
  std::size_t RunOf(const block_data::BlockRun& gap) const;

  const block_index::Entry& entry_;
  const block_data::BlockData& data_;
  const std::tstring fine_url_;
  RangeQueue& queue_;
  std::mutex lock_;
  std::vector<Run> runs_;  // in the order asked for, then in file order
  std::uint64_t bytes_ = 0;
};

}  // namespace block_update
