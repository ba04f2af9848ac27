// The client's requests over kept HTTP/1.1 connections: ranges (one, or several in flight on one
// connection) and whole documents, each reply framed by its length so that the next one begins
// where it ends.
#include <algorithm>
#include <string>

#include "base/exception.h"
#include "net/connection_pool.h"
#include "net/http_client.h"

namespace {

// Hands a whole document, received as one range from its first byte, to a body sink.
class BodyAsRange : public IHttpRangeSink {
 public:
  explicit BodyAsRange(IHttpBodySink& sink) : sink_(sink) {}
  void OnRangeData(std::uint64_t, const std::uint8_t* bytes, std::size_t size) override {
    sink_.OnData(bytes, size);
  }

 private:
  IHttpBodySink& sink_;
};

// Anything thrown outside the exception family becomes "File Download Error.".
template <typename Request>
auto Guarded(Request request) -> decltype(request()) {
  try {
    return request();
  } catch (const Exception&) {
    throw;
  } catch (...) {
    throw Exception("File Download Error.", true);
  }
}

std::tstring RangeField(const HttpClient::RangeAsk& ask) {
  if (ask.first > ask.last) {
    throw HttpClientException(
        "range error : bytes " + std::to_string(ask.first) + "-" + std::to_string(ask.last), true);
  }
  return "Range: bytes=" + std::to_string(ask.first) + "-" + std::to_string(ask.last) + "\r\n";
}

}  // namespace

// A request on a kept connection, from its header on.
struct HttpClient::KeptReply {
  Route route;
  std::unique_ptr<HttpConnection> connection;
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kBlockSize);
  std::string first_block;  // the body bytes that came with the header
  // Requests not sent yet. A new connection to a server not seen keeping one carries one request
  // until its reply shows that the server keeps it: a server that closes with requests unread may
  // reset the connection, and the reply with it.
  std::tstring unsent;
};

range_reply::Verdict HttpClient::RequestRange(std::tstring url, std::uint64_t first,
                                              std::uint64_t last, IHttpRangeSink& sink) {
  const RangeAsk ask{first, last, &sink};
  range_reply::Verdict verdict;
  Pipeline(
      url, {&ask, 1}, [](std::size_t) {}, verdict);
  return verdict;
}

HttpClient::Batch HttpClient::RequestRanges(std::tstring url, std::span<const RangeAsk> asks,
                                            const std::function<void(std::size_t)>& answered) {
  range_reply::Verdict verdict;
  return Pipeline(url, asks, answered, verdict);
}

HttpClient::Batch HttpClient::Pipeline(const std::tstring& url, std::span<const RangeAsk> asks,
                                       const std::function<void(std::size_t)>& answered,
                                       range_reply::Verdict& verdict) {
  CriticalSectionLock settings(settings_lock_);
  return Guarded([&] {
    std::vector<std::tstring> requests;
    for (const RangeAsk& ask : asks) requests.push_back(RangeField(ask));
    KeptReply reply = ExchangeKept(url, requests);
    Batch batch;
    for (;;) {
      const RangeAsk& ask = asks[batch.answered];
      const std::string problem = range_reply::Judge(header_lines_, ask.first, ask.last, verdict);
      if (!problem.empty()) Fail(kStepHeaderRefused, "range reply error : " + problem);
      Notify(kStepHeaderComplete);
      if (!verdict.served) {
        batch.served = false;
        return batch;
      }
      const std::string carried =
          ReceiveKept(reply, ask.first, verdict, *ask.sink, "range reply error : ");
      answered(batch.answered++);
      // Bytes beyond the only reply asked for so far answer nothing of ours.
      const bool stray = !reply.unsent.empty() && !carried.empty();
      if (batch.answered == asks.size() || !verdict.keep_alive || stray) {
        if (verdict.keep_alive && carried.empty()) {
          Pool().Give(KeptKey(reply.route), std::move(reply.connection));
        }
        return batch;
      }
      if (!NextReply(reply, carried)) return batch;
    }
  });
}

bool HttpClient::NextReply(KeptReply& reply, std::string_view carried) {
  if (!reply.unsent.empty()) {
    SendRequest(*reply.connection, reply.unsent, false);
    reply.unsent.clear();
  }
  // A server may end the connection after any reply; the ranges after it are asked again.
  CriticalSectionLock data(data_lock_);
  std::optional<std::string> rest = ReceiveHeader(*reply.connection, reply.buffer, true, carried);
  if (!rest) return false;
  reply.first_block = std::move(*rest);
  return true;
}

bool HttpClient::RequestKept(std::tstring url, IHttpBodySink& sink) {
  CriticalSectionLock settings(settings_lock_);
  return Guarded([&] {
    KeptReply reply = ExchangeKept(url, {std::tstring()});
    CheckStatus();
    range_reply::Verdict verdict;
    const std::string problem = range_reply::JudgeWhole(header_lines_, verdict);
    if (!problem.empty()) Fail(kStepHeaderRefused, "document reply error : " + problem);
    Notify(kStepHeaderComplete);
    const auto length = static_cast<std::uint32_t>(verdict.length);
    sink.OnBegin(true, length);
    BodyAsRange body(sink);
    const bool kept = ReceiveKept(reply, 0, verdict, body, "document reply error : ").empty() &&
                      verdict.keep_alive;
    if (kept) Pool().Give(KeptKey(reply.route), std::move(reply.connection));
    sink.OnEnd(length);
    return kept;
  });
}

std::optional<std::string> HttpClient::Exchange(HttpConnection& connection,
                                                const std::tstring& text,
                                                std::vector<std::uint8_t>& buffer, bool may_retry) {
  if (!SendRequest(connection, text, may_retry)) return std::nullopt;
  CriticalSectionLock data(data_lock_);
  return ReceiveHeader(connection, buffer, may_retry, {});
}

ConnectionPool& HttpClient::Pool() {
  if (pool_ == nullptr) pool_ = std::make_shared<ConnectionPool>(1);
  return *pool_;
}

// A proxy connection is kept per document server too, so that one request never reaches a server
// it was not meant for.
std::tstring HttpClient::KeptKey(const Route& route) const {
  return route.host + ":" + std::to_string(route.port) + " " + route.server + ":" +
         std::to_string(route.server_port);
}

HttpClient::KeptReply HttpClient::ExchangeKept(const std::tstring& url,
                                               const std::vector<std::tstring>& fields) {
  KeptReply reply;
  reply.route = SplitUrl(url);
  std::tstring all;
  for (const std::tstring& each : fields) all += KeptRequestText(reply.route, each);
  reply.connection = Pool().Take(KeptKey(reply.route));
  std::optional<std::string> received;
  if (reply.connection != nullptr) received = Exchange(*reply.connection, all, reply.buffer, true);
  if (!received) {
    reply.connection.reset();
    reply.connection = Connect(reply.route);
    const std::size_t first = Pool().Keeps(KeptKey(reply.route))
                                  ? all.size()
                                  : KeptRequestText(reply.route, fields.front()).size();
    reply.unsent = all.substr(first);
    received = Exchange(*reply.connection, all.substr(0, first), reply.buffer, false);
  }
  reply.first_block = std::move(*received);
  return reply;
}

std::string HttpClient::ReceiveKept(KeptReply& reply, std::uint64_t offset,
                                    const range_reply::Verdict& verdict, IHttpRangeSink& sink,
                                    const char* what) {
  Notify(kStepReceivingBody);
  std::string carried = ReceiveExactly(reply, offset, verdict.length, sink, what);
  Notify(kStepBodyComplete);
  return carried;
}

std::string HttpClient::ReceiveExactly(KeptReply& reply, std::uint64_t offset, std::uint64_t length,
                                       IHttpRangeSink& sink, const char* what) {
  HttpConnection& connection = *reply.connection;
  std::vector<std::uint8_t>& buffer = reply.buffer;
  const std::string_view first_block = reply.first_block;
  std::uint64_t left = length;
  const std::size_t head =
      static_cast<std::size_t>(std::min<std::uint64_t>(first_block.size(), left));
  if (head != 0) {
    sink.OnRangeData(offset, reinterpret_cast<const std::uint8_t*>(first_block.data()), head);
    offset += head;
    left -= head;
  }
  while (left != 0) {
    ThrowIfAborted();
    if (!connection.AwaitBytes(*this)) {
      throw HttpConnection::NetworkFailure(
          HttpConnection::IdleFailure("body recv error : nothing received for ", *this));
    }
    // Never read past the body, so that the connection holds nothing of this reply afterwards.
    const long n = connection.Receive(
        buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), left)),
        *this);
    if (n < 0) {
      throw HttpConnection::NetworkFailure(HttpConnection::SocketFailure("body recv error : %d"));
    }
    if (n == 0) {
      throw HttpConnection::NetworkFailure(what + std::string("connection closed with ") +
                                           std::to_string(left) + " of " + std::to_string(length) +
                                           " bytes missing");
    }
    sink.OnRangeData(offset, buffer.data(), static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
    left -= static_cast<std::uint64_t>(n);
  }
  // Bytes beyond the body came with the header: the start of the next reply.
  return std::string(first_block.substr(head));
}
