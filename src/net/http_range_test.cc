#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "base/exception.h"
#include "net/http_client.h"
#include "net/testing/scripted_server.h"

namespace {

using net_testing::Reply;
using net_testing::ScriptedServer;

// Collects the delivered bytes and checks that each block starts where the last one ended.
class RangeRecorder : public IHttpRangeSink {
 public:
  explicit RangeRecorder(std::uint64_t first) : next_(first) {}
  void OnRangeData(std::uint64_t offset, const std::uint8_t* bytes, std::size_t size) override {
    EXPECT_EQ(offset, next_);
    EXPECT_NE(size, 0u);
    bytes_.append(reinterpret_cast<const char*>(bytes), size);
    next_ = offset + size;
  }
  const std::string& GetBytes() const { return bytes_; }

 private:
  std::uint64_t next_;
  std::string bytes_;
};

struct Outcome {
  std::string delivered;
  std::optional<range_reply::Verdict> verdict;  // set when the request succeeded
  std::string error;
};

// "HTTP/1.1 206" with the given fields and body.
std::string Partial(const std::string& fields, const std::string& body) {
  return "HTTP/1.1 206 Partial Content\r\n" + fields + "\r\n" + body;
}

std::string Fields(const std::string& range, std::size_t length) {
  return "Content-Range: bytes " + range + "\r\nContent-Length: " + std::to_string(length) + "\r\n";
}

class HttpRangeTest : public testing::Test {
 protected:
  HttpRangeTest() { client_.SetDirectPort(server_.GetPort()); }

  Outcome Fetch(std::uint64_t first, std::uint64_t last,
                const std::string& url = "http://127.0.0.1/file") {
    RangeRecorder recorder(first);
    Outcome outcome;
    try {
      outcome.verdict = client_.RequestRange(url, first, last, recorder);
    } catch (const Exception& failure) {
      outcome.error = failure.GetText();
    }
    outcome.delivered = recorder.GetBytes();
    return outcome;
  }

  std::string RequestText(const std::string& target, const std::string& host,
                          const std::string& range) {
    return "GET " + target + " HTTP/1.1\r\nHost: " + host +
           "\r\nUser-Agent: V-Lib Http Client\r\nRange: bytes=" + range + "\r\n\r\n";
  }

  ScriptedServer server_;
  std::unique_ptr<HttpClient> owned_ = std::make_unique<HttpClient>();
  HttpClient& client_ = *owned_;
};

// Every reply to bytes 10-19: what reaches the sink, or the failure. Nothing of a refused header
// reaches the sink.
TEST_F(HttpRangeTest, RepliesJudgedBeforeTheSinkSeesThem) {
  const std::string body = "abcdefghij", fields = Fields("10-19/100", 10);
  struct Case {
    Reply reply;
    std::string result;  // delivered bytes, "not served", or "error : <text>"
    std::optional<std::uint64_t> total = 100;
  };
  const Case cases[] = {
      {{{Partial(fields, body)}}, body},
      {{{Partial(Fields("10-19/*", 10), body)}}, body, std::nullopt},
      // Names in any letter case; blanks around values; the body split across reads.
      {{{"HTTP/1.1 206 x\r\ncontent-range:bytes 10-19/100 \r\nCONTENT-LENGTH: 10\r\n\r\nabc", "de",
         "fghij"},
        5},
       body},
      {{{Partial(Fields("0-9/100", 10), body)}},
       "error : range reply error : Content-Range bytes 0-9/100 for bytes 10-19"},
      {{{Partial(Fields("10-19/19", 10), body)}},
       "error : range reply error : Content-Range bytes 10-19/19 for bytes 10-19"},
      {{{Partial("Content-Range: 10-19/100\r\nContent-Length: 10\r\n", body)}},
       "error : range reply error : Content-Range 10-19/100 for bytes 10-19"},
      {{{Partial("Content-Length: 10\r\n", body)}},
       "error : range reply error : Content-Range  for bytes 10-19"},
      {{{Partial(Fields("10-19/100", 11), body + "k")}},
       "error : range reply error : Content-Length 11 for 10 bytes"},
      {{{Partial("Content-Range: bytes 10-19/100\r\n", body)}},
       "error : range reply error : Content-Length  for 10 bytes"},
      {{{Partial(fields + "Content-Length: 10\r\n", body)}},
       "error : range reply error : repeated content-length"},
      {{{Partial(fields + "Content-Type: Multipart/byteranges; boundary=b\r\n", body)}},
       "error : range reply error : multipart reply for bytes 10-19"},
      {{{Partial(fields + "Transfer-Encoding: chunked\r\n", "a\r\n" + body + "\r\n0\r\n\r\n")}},
       "error : range reply error : Transfer-Encoding chunked"},
      {{{"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"}},
       "error : range reply error : status 404"},
      // Cut short: what arrived was handed on, and the request fails.
      {{{Partial(fields, "abcde")}},
       "error : range reply error : connection closed with 5 of 10 "
       "bytes missing"},
      {{{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(100, 'w')}}, "not served"},
      {{{"HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */5\r\n\r\n"}}, "not served"},
  };
  for (const Case& c : cases) {
    server_.SetReplies({c.reply});
    const Outcome outcome = Fetch(10, 19);
    const std::string& head = c.reply.pieces.front();
    if (c.result.starts_with("error : ")) {
      EXPECT_EQ(outcome.error, "HttpClient : " + c.result.substr(8)) << head;
      if (!c.result.ends_with("missing")) {
        EXPECT_EQ(outcome.delivered, "") << head;
      }
      continue;
    }
    ASSERT_TRUE(outcome.verdict) << head << outcome.error;
    if (c.result == "not served") {
      EXPECT_FALSE(outcome.verdict->served) << head;
      EXPECT_EQ(outcome.delivered, "") << head;
    } else {
      EXPECT_TRUE(outcome.verdict->served) << head;
      EXPECT_EQ(outcome.delivered, c.result) << head;
      EXPECT_EQ(outcome.verdict->total, c.total) << head;
    }
  }
}

// A connection carries the next range only while nothing casts doubt on where a reply ended.
TEST_F(HttpRangeTest, ConnectionKeptOnlyWithoutDoubt) {
  const auto kept = [](const std::string& range, const std::string& body) {
    return Reply{{Partial(Fields(range + "/100", body.size()), body)}, 0, true};
  };
  const std::string server_host = "127.0.0.1:" + std::to_string(server_.GetPort());
  server_.SetReplies({kept("0-2", "abc"),
                      kept("3-4", "de"),
                      {{Partial("Connection: close\r\n" + Fields("5-5/100", 1), "f")}, 0, true},
                      {{"HTTP/1.0 206 x\r\n" + Fields("6-6/100", 1) + "\r\ng"}, 0, true},
                      {{Partial(Fields("7-7/100", 1), "h") + "stray"}, 0, true},
                      kept("8-8", "i")});
  for (std::uint64_t i : {0, 3, 5, 6, 7, 8})
    EXPECT_TRUE(Fetch(i, i == 0 ? 2 : i == 3 ? 4 : i).verdict);
  EXPECT_EQ(server_.GetConnectionCount(), 4);
  EXPECT_EQ(
      server_.GetRequests(),
      (std::vector<std::string>{
          RequestText("/file", server_host, "0-2"), RequestText("/file", server_host, "3-4"),
          RequestText("/file", server_host, "5-5"), RequestText("/file", server_host, "6-6"),
          RequestText("/file", server_host, "7-7"), RequestText("/file", server_host, "8-8")}));
}

// A kept connection the server has closed, before or after the next request went out, is replaced
// once; a new connection that fails the same way fails the request.
TEST_F(HttpRangeTest, ClosedKeptConnectionReplacedOnce) {
  const Reply first{{Partial(Fields("0-0/9", 1), "a")}, 0, true}, hang_up{{}, 0, false},
      second{{Partial(Fields("1-1/9", 1), "b")}};
  // Closed after the request was sent on it.
  server_.SetReplies({first, hang_up, second});
  EXPECT_EQ(Fetch(0, 0).delivered, "a");
  EXPECT_EQ(Fetch(1, 1).delivered, "b");
  EXPECT_EQ(server_.GetConnectionCount(), 2);
  EXPECT_EQ(server_.GetRequests().size(), 3u);
  // Closed while the client was between requests.
  server_.SetReplies({{{Partial(Fields("0-0/9", 1), "a")}}, second});
  EXPECT_EQ(Fetch(0, 0).delivered, "a");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(Fetch(1, 1).delivered, "b");
  EXPECT_EQ(server_.GetConnectionCount(), 4);
  EXPECT_EQ(server_.GetRequests().size(), 5u);
  // Only once.
  server_.SetReplies({first, hang_up});
  EXPECT_EQ(Fetch(0, 0).delivered, "a");
  EXPECT_EQ(Fetch(1, 1).error,
            "HttpClient : header recv error : connection closed before the header ended.");
}

// Through a proxy the target is the whole URL; Host names the document's server, with its port
// when that is not 80.
TEST_F(HttpRangeTest, ProxyTargetForm) {
  client_.SetProxy("127.0.0.1:" + std::to_string(server_.GetPort()));
  server_.SetReplies({{{Partial(Fields("5-5/9", 1), "x")}}});
  EXPECT_EQ(Fetch(5, 5, "http://h.example/dir/f").delivered, "x");
  EXPECT_EQ(Fetch(5, 5, "http://h.example:8080/dir/f").delivered, "x");
  EXPECT_EQ(server_.GetRequests(),
            (std::vector<std::string>{
                RequestText("http://h.example/dir/f", "h.example", "5-5"),
                RequestText("http://h.example:8080/dir/f", "h.example:8080", "5-5")}));
}

TEST_F(HttpRangeTest, AbortEndsAStalledBody) {
  server_.SetReplies({{{Partial(Fields("0-99/100", 100), "abc"), "rest"}, net_testing::kSilent}});
  auto aborted_at = std::chrono::steady_clock::now();
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    aborted_at = std::chrono::steady_clock::now();
    client_.SetAbort(true);
  });
  const Outcome outcome = Fetch(0, 99);
  const auto ended_at = std::chrono::steady_clock::now();
  stopper.join();
  EXPECT_EQ(outcome.error, "HttpClient : Abort by User.");
  EXPECT_EQ(outcome.delivered, "abc");
  EXPECT_LT(ended_at - aborted_at, std::chrono::seconds(1));
}

}  // namespace
