#include "update/range_queue.h"

#include <algorithm>

#include "base/exception.h"
#include "net/http_client.h"

RangeQueue::RangeQueue(ClientSetup setup, int workers, std::stop_token stop)
    : setup_(std::move(setup)),
      workers_wanted_(static_cast<std::size_t>(std::max(workers, 1))),
      stop_(std::move(stop)) {}

RangeQueue::~RangeQueue() {
  Stop();
  for (std::thread& worker : workers_) worker.join();
}

void RangeQueue::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    ending_ = true;
    for (const auto& client : clients_) client->SetAbort(true);
  }
  changed_.notify_all();
}

void RangeQueue::Start(std::vector<Range> ranges, const std::tstring& user_agent, More more) {
  user_agent_ = user_agent;
  started_ = Clock::now();
  ranges_ = std::move(ranges);
  more_ = more == More::kYes;
  Hire();
}

std::size_t RangeQueue::Add(std::vector<Range> ranges, More more, Ahead ahead) {
  std::size_t first = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    first = ranges_.size();
    for (std::size_t i = 0; ahead == Ahead::kBeyond && i < ranges.size(); ++i) {
      beyond_.insert(first + i);
    }
    ranges_.insert(ranges_.end(), std::make_move_iterator(ranges.begin()),
                   std::make_move_iterator(ranges.end()));
    more_ = more == More::kYes;
  }
  changed_.notify_all();
  Hire();
  return first;
}

void RangeQueue::Hire() {
  // Any thread that adds ranges may hire.
  std::lock_guard<std::mutex> hiring(hire_lock_);
  std::size_t needed = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    needed = std::min(workers_wanted_, ranges_.size());
  }
  // Made only as the ranges need them: a client starts the socket library.
  try {
    while (workers_.size() < needed) {
      auto client = std::make_unique<HttpClient>();
      setup_(*client);
      client->SetStop(stop_);
      HttpClient& worker_client = *client;
      {
        std::lock_guard<std::mutex> hold(lock_);
        clients_.push_back(std::move(client));
      }
      workers_.emplace_back([this, &worker_client] { Work(worker_client); });
    }
  } catch (const std::system_error&) {
    throw DownloadManagerException("Failed thread create.", true);
  }
}

std::optional<RangeQueue::Clock::duration> RangeQueue::Latency() {
  std::lock_guard<std::mutex> hold(lock_);
  return latency_;
}

bool RangeQueue::Ready(std::size_t i) {
  std::lock_guard<std::mutex> hold(lock_);
  return results_.contains(i);
}

std::optional<std::string> RangeQueue::Take(std::size_t i) {
  std::unique_lock<std::mutex> hold(lock_);
  if (!results_.contains(i) && i >= next_) {
    waited_.insert(i);
    changed_.notify_all();
  }
  changed_.wait(hold, [&] { return results_.contains(i) || ending_; });
  waited_.erase(i);
  if (!results_.contains(i)) throw HttpClientException("Abort by User.", false);
  Result result = std::move(results_.at(i));
  results_.erase(i);
  ahead_ -= Counted(i);
  beyond_.erase(i);
  hold.unlock();
  changed_.notify_all();
  if (result.failure) std::rethrow_exception(result.failure);
  return std::move(result.bytes);
}

std::optional<RangeQueue::Batch> RangeQueue::Claim() {
  std::unique_lock<std::mutex> hold(lock_);
  // A range waited for and not claimed yet lets the next one be claimed beyond the budget.
  const auto room_ahead = [&] {
    return ahead_ < budget_ || (!waited_.empty() && *waited_.rbegin() >= next_);
  };
  changed_.wait(hold,
                [&] { return ending_ || (room_ahead() && (next_ < ranges_.size() || !more_)); });
  if (ending_ || next_ >= ranges_.size()) return std::nullopt;
  // At the end of the list the batches shrink, so that every worker has a share.
  const std::size_t begin = next_;
  const std::size_t share = (ranges_.size() - begin + workers_wanted_ - 1) / workers_wanted_;
  const std::size_t most = std::min(kBatchRanges, share);
  // Beyond its first range a batch stays within the budget, so that what was asked and not taken
  // passes the budget by one range at the most.
  const std::uint64_t room = ahead_ < budget_ ? std::min(kBatchBytes, budget_ - ahead_) : 0;
  std::uint64_t bytes = 0;
  while (next_ < ranges_.size() && next_ - begin < most &&
         ranges_[next_].url == ranges_[begin].url &&
         (next_ == begin || bytes + Counted(next_) <= room)) {
    bytes += Counted(next_++);
  }
  ahead_ += bytes;
  return Batch{begin, {ranges_.begin() + begin, ranges_.begin() + next_}};
}

void RangeQueue::Work(HttpClient& client) {
  client.SetUserAgent(user_agent_);
  while (const std::optional<Batch> batch = Claim()) {
    for (std::size_t from = 0; from < batch->ranges.size();) from = Fetch(client, *batch, from);
  }
}

std::size_t RangeQueue::Fetch(HttpClient& client, const Batch& batch, std::size_t from) {
  const std::size_t end = batch.ranges.size();
  std::vector<RangeText> texts(end - from);
  std::vector<HttpClient::RangeAsk> asks;
  for (std::size_t i = from; i < end; ++i) {
    const Range& range = batch.ranges[i];
    // A reply is never longer than asked: the room of a range up to 1 MiB is made once, and
    // longer ones grow with what arrives.
    texts[i - from].text.reserve(
        std::min<std::uint64_t>(range.last - range.first + 1, kReservedRange));
    asks.push_back({range.first, range.last, &texts[i - from]});
  }
  std::size_t next = from;
  Result unanswered;
  const Clock::time_point asked = Clock::now();
  try {
    const HttpClient::Batch reply =
        client.RequestRanges(batch.ranges[from].url, asks, [&](std::size_t i) {
          if (i == 0) Answered(Clock::now() - asked);
          Deliver(batch.begin + from + i, Result{std::move(texts[i].text), nullptr});
          next = from + i + 1;
        });
    if (reply.served) return next;
  } catch (...) {
    unanswered.failure = std::current_exception();
  }
  // A failure, or a server that does not serve ranges here, ends the batch: the caller stops at
  // the first such range.
  for (; next < end; ++next) Deliver(batch.begin + next, unanswered);
  return end;
}

void RangeQueue::Answered(Clock::duration latency) {
  std::lock_guard<std::mutex> hold(lock_);
  // Averaged over the recent batches: where the replies fill the link, each waits behind the
  // others, and asking further ahead keeps it full.
  latency_ = latency_ ? (*latency_ * 7 + latency) / 8 : latency;
}

void RangeQueue::Budget() {
  // Measured from the start, the rate is low while the first replies come: the budget grows from
  // its least as they do. What arrives, not what is taken: a caller busy elsewhere for a while
  // (planning, while the first ranges come) would otherwise hold the budget at its least.
  const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
  if (!latency_ || seconds <= 0) return;
  const double rate = static_cast<double>(received_bytes_) / seconds;
  const double wanted = 4 * rate * std::chrono::duration<double>(*latency_).count();
  budget_ = static_cast<std::uint64_t>(std::clamp<double>(wanted, kLeastAhead, kMostAhead));
}

void RangeQueue::Deliver(std::size_t i, Result result) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (result.bytes) received_bytes_ += result.bytes->size();
    results_.emplace(i, std::move(result));
    Budget();
  }
  changed_.notify_all();
}
