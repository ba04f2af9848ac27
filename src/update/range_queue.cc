#include "update/range_queue.h"

#include <algorithm>

#include "base/exception.h"
#include "net/http_client.h"

RangeQueue::RangeQueue(ClientSetup setup, int workers, std::stop_token stop)
    : setup_(std::move(setup)),
      workers_wanted_(static_cast<std::size_t>(std::max(workers, 1))),
      stop_(std::move(stop)) {}

RangeQueue::~RangeQueue() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    ending_ = true;
  }
  changed_.notify_all();
  for (const auto& client : clients_) client->SetAbort(true);
  for (std::thread& worker : workers_) worker.join();
}

void RangeQueue::Start(std::vector<Range> ranges, const std::tstring& user_agent) {
  ranges_ = std::move(ranges);
  user_agent_ = user_agent;
  // Made only as the ranges need them: a client starts the socket library.
  const std::size_t needed = std::min(workers_wanted_, ranges_.size());
  for (std::size_t i = 0; i < needed; ++i) {
    HttpClient& client = *clients_.emplace_back(std::make_unique<HttpClient>());
    setup_(client);
    client.SetStop(stop_);
  }
  try {
    for (std::size_t i = 0; i < needed; ++i) {
      workers_.emplace_back([this, &client = *clients_[i]] { Work(client); });
    }
  } catch (const std::system_error&) {
    throw DownloadManagerException("Failed thread create.", true);
  }
}

std::optional<std::string> RangeQueue::Take(std::size_t i) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [&] { return results_.contains(i); });
  Result result = std::move(results_.at(i));
  results_.erase(i);
  taken_ = i + 1;
  hold.unlock();
  changed_.notify_all();
  if (result.failure) std::rethrow_exception(result.failure);
  return std::move(result.bytes);
}

std::optional<std::size_t> RangeQueue::Claim() {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [&] { return ending_ || next_ < taken_ + 2 * workers_wanted_; });
  if (ending_ || next_ >= ranges_.size()) return std::nullopt;
  return next_++;
}

void RangeQueue::Work(HttpClient& client) {
  client.SetUserAgent(user_agent_);
  while (const std::optional<std::size_t> i = Claim()) {
    const Range& range = ranges_[*i];
    Result result;
    try {
      RangeText sink;
      if (client.RequestRange(range.url, range.first, range.last, sink).served) {
        result.bytes = std::move(sink.text);
      }
    } catch (...) {
      result.failure = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> hold(lock_);
      results_.emplace(*i, std::move(result));
    }
    changed_.notify_all();
  }
}
