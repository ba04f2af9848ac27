// The whole run's bytes: what it fetches and has fetched over all its transfers, for the player to
// see the size of the update rather than of one file at a time. A file's bytes count from when its
// transfer tells its size (the package's length, or what the block plan fetches); a file not yet
// checked counts nothing yet, so the total grows while the run still checks installed files.
#pragma once

#include <cstdint>
#include <deque>

struct FetchFigures {
  std::uint64_t bytes_total = 0;  // to fetch, as far as the run knows it
  std::uint64_t bytes_done = 0;
  // The run reads an installed file to tell whether it differs; nothing is fetched for it yet.
  bool checking = false;
  bool operator==(const FetchFigures&) const = default;
};

// Adds up the transfers of reporters that move one file after another, each telling its current
// transfer's size and bytes received. A report that falls back, or names another size once one
// was told, starts the reporter's next transfer; a transfer that has ended counts what it brought.
// The run's thread alone.
class FetchTally {
 public:
  struct Reporter {
    std::uint64_t ended = 0;  // bytes brought by the transfers ended so far
    std::uint64_t size = 0;
    std::uint64_t received = 0;
  };

  // A new reporter, to be named in its reports.
  Reporter& Add();
  static void Report(Reporter& reporter, std::uint64_t size, std::uint64_t received);
  // Every reporter's bytes, with `more` (transfers counted elsewhere) added.
  FetchFigures Sum(std::uint64_t more_total, std::uint64_t more_done) const;

 private:
  std::deque<Reporter> reporters_;  // a deque: a reporter stays where it was added
};
