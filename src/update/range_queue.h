// Byte ranges fetched side by side. Far from the server each range request costs a round trip, and
// a changed file asks for hundreds; here several run at once, each worker on a client of its own
// over the run's shared connections, and each worker asks for a few ranges of one document in
// flight on its connection, while callers take each range's bytes; ranges may be added while the
// first ones are fetched. Workers ask for ranges ahead of those taken up to a budget: four times
// what arrives in the time a batch's first reply takes to come (averaged over recent batches),
// between kLeastAhead and kMostAhead. Far from the server that keeps every connection busy; close
// to it little waits to be taken, which is what a kill loses. The memory held stays within the
// budget and one batch, besides the ranges added beyond the budget, which their caller bounds.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "base/tstring.h"
#include "net/http_body_sink.h"

class HttpClient;

// Keeps a range's bytes as they arrive.
class RangeText final : public IHttpRangeSink {
 public:
  void OnRangeData(std::uint64_t, const std::uint8_t* bytes, std::size_t size) override {
    text.append(reinterpret_cast<const char*>(bytes), size);
  }
  std::string text;
};

class RangeQueue {
 public:
  struct Range {
    std::tstring url;
    std::uint64_t first = 0, last = 0;
  };
  // The least the workers ask for ahead of the range taken last.
  static constexpr std::uint64_t kLeastAhead = 3 << 19;  // 1.5 MiB
  // Prepares each worker's client (proxy, shared connections, rate cap).
  using ClientSetup = std::function<void(HttpClient&)>;

  // A stop ends every request in flight ("Abort by User."), which Take then throws.
  RangeQueue(ClientSetup setup, int workers, std::stop_token stop);
  // Aborts the requests in flight and joins the workers.
  ~RangeQueue();
  RangeQueue(const RangeQueue&) = delete;
  RangeQueue& operator=(const RangeQueue&) = delete;

  // Whether the caller adds ranges after the ones given.
  enum class More { kNo, kYes };

  // Starts fetching the ranges, in order, with user_agent in their requests. Once per queue.
  void Start(std::vector<Range> ranges, const std::tstring& user_agent, More more = More::kNo);
  // Whether ranges count in the budget of what is asked ahead. Ranges fetched before they are
  // wanted, taken in another order and bounded by their caller, do not: they would hold the room
  // the ranges wanted next need.
  enum class Ahead { kCounted, kBeyond };
  // Fetches the ranges after those given so far; only while more were announced. Returns the
  // index of the first of them.
  std::size_t Add(std::vector<Range> ranges, More more, Ahead ahead = Ahead::kCounted);
  // Range i's bytes, waiting for them; each range is taken once, by any thread. Nothing when the
  // server does not serve ranges there; throws the request's failure. A range waited for is asked
  // for even beyond the budget, so ranges taken in another order than asked never wait for ever.
  std::optional<std::string> Take(std::size_t i);
  // How long a batch's first reply has taken to come, averaged over the recent batches; none
  // before the first.
  std::optional<std::chrono::steady_clock::duration> Latency();
  // Whether range i's bytes (or its failure) are in, to be taken.
  bool Ready(std::size_t i);
  // Ends the requests in flight; a Take that waits, or comes later, throws "Abort by User.".
  void Stop();

 private:
  struct Result {
    std::optional<std::string> bytes;
    std::exception_ptr failure;
  };
  // Ranges [begin, begin + ranges.size()), copied: the list grows while workers fetch.
  struct Batch {
    std::size_t begin = 0;
    std::vector<Range> ranges;
  };
  using Clock = std::chrono::steady_clock;
  static constexpr std::uint64_t kMostAhead = 8 << 20;
  static constexpr std::uint64_t kReservedRange = 1 << 20;
  // A batch holds at most this many ranges and, beyond its first, this many bytes, so that a
  // connection's replies arrive about as fast as the others'.
  static constexpr std::size_t kBatchRanges = 32;
  static constexpr std::uint64_t kBatchBytes = 256 << 10;

  void Work(HttpClient& client);
  // Starts workers up to one per range, at most as many as wanted.
  void Hire();
  // The next ranges to fetch, of one document, waiting while the workers are far enough ahead or
  // ranges are still to come; none at the end.
  std::optional<Batch> Claim();
  // Asks for the batch's ranges from `from` on one connection; returns the first one not
  // answered, which is asked again.
  std::size_t Fetch(HttpClient& client, const Batch& batch, std::size_t from);
  void Deliver(std::size_t i, Result result);
  // A batch's first reply came this long after it was asked for.
  void Answered(Clock::duration latency);
  void Budget();
  std::uint64_t Length(std::size_t i) const { return ranges_[i].last - ranges_[i].first + 1; }
  // What range i counts in the budget.
  std::uint64_t Counted(std::size_t i) const { return beyond_.contains(i) ? 0 : Length(i); }

  const ClientSetup setup_;
  const std::size_t workers_wanted_;
  const std::stop_token stop_;
  std::vector<std::unique_ptr<HttpClient>> clients_;
  std::vector<std::thread> workers_;
  std::vector<Range> ranges_;
  std::tstring user_agent_;
  std::mutex hire_lock_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::map<std::size_t, Result> results_;
  std::size_t next_ = 0;          // the next range a worker claims
  std::set<std::size_t> waited_;  // ranges a Take waits for
  std::set<std::size_t> beyond_;  // ranges beyond the budget, until taken
  std::uint64_t ahead_ = 0;       // bytes claimed and not taken
  std::uint64_t budget_ = kLeastAhead;
  std::uint64_t received_bytes_ = 0;
  Clock::time_point started_;
  std::optional<Clock::duration> latency_;  // a batch's first reply's, averaged
  bool more_ = false;                       // the caller adds ranges still
  bool ending_ = false;
};
