#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "base/exception.h"
#include "net/http_client.h"
#include "net/testing/range_recorder.h"
#include "net/testing/scripted_server.h"

namespace {

using net_testing::Reply;

std::string Partial(const std::string& range, int length, const std::string& more,
                    const std::string& body) {
  return "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + range +
         "\r\nContent-Length: " + std::to_string(length) + "\r\n" + more + "\r\n" + body;
}

class HttpRangeTest : public testing::Test {
 protected:
  HttpRangeTest() { client_.SetDirectPort(server_.GetPort()); }

  // The bytes delivered, "not served", or the failure's text with what was delivered before it.
  std::string Fetch(std::uint64_t first, std::uint64_t last,
                    const std::string& url = "http://127.0.0.1/f") {
    net_testing::RangeRecorder recorder;
    try {
      const range_reply::Verdict verdict = client_.RequestRange(url, first, last, recorder);
      total_ = verdict.total;
      return verdict.served ? recorder.received : "not served" + recorder.received;
    } catch (const Exception& failure) {
      return failure.GetText() + (recorder.received.empty() ? "" : " after " + recorder.received);
    }
  }

  net_testing::ScriptedServer server_;
  std::unique_ptr<HttpClient> owned_ = std::make_unique<HttpClient>();
  HttpClient& client_ = *owned_;
  std::optional<std::uint64_t> total_;
};

// Replies to bytes 10-19: nothing of a refused header reaches the sink.
TEST_F(HttpRangeTest, RepliesJudgedBeforeTheSinkSeesThem) {
  const std::string body = "abcdefghij", e = "HttpClient : range reply error : ";
  const std::pair<Reply, std::string> cases[] = {
      {{{Partial("10-19/100", 10, "", body)}}, body},
      // Names in any letter case, the body split across reads.
      {{{"HTTP/1.1 206 x\r\ncontent-range:bytes 10-19/* \r\nCONTENT-LENGTH: 10\r\n\r\nabc",
         "defghij"},
        5},
       body},
      {{{Partial("0-9/100", 10, "", body)}}, e + "Content-Range bytes 0-9/100 for bytes 10-19"},
      {{{Partial("10-19/19", 10, "", body)}}, e + "Content-Range bytes 10-19/19 for bytes 10-19"},
      // The right first byte and another last one.
      {{{Partial("10-18/100", 10, "", body)}}, e + "Content-Range bytes 10-18/100 for bytes 10-19"},
      {{{Partial("10-19/100", 11, "", body + "k")}}, e + "Content-Length 11 for 10 bytes"},
      {{{Partial("10-19/100", 10, "Content-Length: 10\r\n", body)}}, e + "repeated content-length"},
      {{{Partial("10-19/100", 10, "Content-Type: Multipart/byteranges; boundary=b\r\n", body)}},
       e + "multipart reply for bytes 10-19"},
      {{{Partial("10-19/100", 10, "Transfer-Encoding: chunked\r\n", "a\r\n" + body + "\r\n0\r\n")}},
       e + "Transfer-Encoding chunked"},
      {{{"HTTP/1.1 206 x\r\nContent-Range: bytes 10-19/100\r\n\r\n" + body}},
       e + "Content-Length  for 10 bytes"},
      {{{Partial("10-19/100", 10, "", "abcde")}},
       e + "connection closed with 5 of 10 bytes missing after abcde"},
      {{{"HTTP/1.1 404 Not Found\r\n\r\n"}}, e + "status 404"},
      {{{"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nwho"}}, "not served"},
      {{{"HTTP/1.1 416 Range Not Satisfiable\r\n\r\n"}}, "not served"},
  };
  for (const auto& [reply, result] : cases) {
    server_.SetReplies({reply});
    EXPECT_EQ(Fetch(10, 19), result) << reply.pieces[0];
  }
}

// A connection carries the next range while nothing casts doubt on where a reply ended. One the
// server has closed, before or after the next request went out, is replaced once.
TEST_F(HttpRangeTest, KeptConnections) {
  const auto reply = [](const std::string& body, const std::string& more = "", bool keep = true) {
    return Reply{{Partial("5-5/9", 1, more, body)}, 0, keep};
  };
  const Reply hang_up{{}, 0, false};
  server_.SetReplies(
      {reply("a", "Connection: keep-alive\r\n"),
       reply("b"),
       hang_up,
       reply("c", "Connection: Keep-Alive, Close\r\n"),
       {{"HTTP/1.0 206 x\r\nContent-Length: 1\r\nContent-Range: bytes 5-5/9\r\n\r\nd"}, 0, true},
       reply("estray"),
       reply("f", "", false),
       reply("g"),
       hang_up});
  std::string received;
  for (int i = 0; i < 7; ++i) {
    if (i == 6) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    received += Fetch(5, 5);
  }
  EXPECT_EQ(received, "abcdefg");
  EXPECT_EQ(total_, 9u);
  EXPECT_EQ(server_.GetConnectionCount(), 6);
  EXPECT_EQ(server_.GetRequests().size(), 8u);
  EXPECT_EQ(Fetch(5, 5),
            "HttpClient : header recv error : connection closed before the header ended.");
}

// A whole document over a kept connection; what it shares with ranges and pools is met elsewhere.
TEST_F(HttpRangeTest, KeptDocuments) {
  const std::string ok = "HTTP/1.1 200 OK\r\n", e = "HttpClient : document reply error : ";
  const std::pair<Reply, std::string> cases[] = {
      {{{ok + "Content-Length: 5\r\n\r\nhel"}}, e + "connection closed with 2 of 5 bytes missing"},
      {{{ok + "\r\nhello"}}, e + "Content-Length "},
      {{{"HTTP/1.1 404 Not Found\r\n\r\n"}}, "HttpClient : Receive error code : 404"},
  };
  for (const auto& [reply, result] : cases) {
    server_.SetReplies({reply});
    net_testing::RangeRecorder recorder;
    try {
      const bool kept = client_.RequestKept("http://127.0.0.1/f", recorder);
      EXPECT_EQ((kept ? "kept " : "closed ") + recorder.received, result);
    } catch (const Exception& failure) {
      EXPECT_EQ(failure.GetText(), result);
    }
  }
  EXPECT_EQ(server_.GetRequests().front(),
            "GET /f HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server_.GetPort()) +
                "\r\nUser-Agent: V-Lib Http Client\r\n\r\n");
}

// Through a proxy the target is the whole URL; Host names the document's server.
TEST_F(HttpRangeTest, RequestTextDirectAndThroughAProxy) {
  server_.SetReplies({{{Partial("0-9/*", 10, "", "0123456789")}}});
  const std::string port = std::to_string(server_.GetPort());
  Fetch(0, 9, "http://127.0.0.1/d/f");
  client_.SetProxy("127.0.0.1:" + port);
  Fetch(0, 9, "http://h.example/d/f");
  Fetch(0, 9, "http://h.example:8080/d/f");
  const auto text = [](const std::string& target, const std::string& host) {
    return "GET " + target + " HTTP/1.1\r\nHost: " + host +
           "\r\nUser-Agent: V-Lib Http Client\r\nRange: bytes=0-9\r\n\r\n";
  };
  EXPECT_EQ(server_.GetRequests(),
            (std::vector<std::string>{text("/d/f", "127.0.0.1:" + port),
                                      text("http://h.example/d/f", "h.example"),
                                      text("http://h.example:8080/d/f", "h.example:8080")}));
}

// Ranges in flight on one connection: each reply is read where the last one ended, however the
// replies come in reads; a server that ends the connection after a reply, or stops serving
// ranges, ends the batch there, and a failure leaves the ranges before it answered. A new
// connection carries one request until its reply ends cleanly: bytes beyond it end the batch.
TEST_F(HttpRangeTest, RangesInFlightOnOneConnection) {
  // Range n-n of the text, or what the case makes of the third request on a connection.
  const auto handler = [](const std::string& third) {
    return [third, count = 0](const std::string& request) mutable {
      const std::string text = "0123456789abcdefghij";
      const std::size_t n = std::stoul(request.substr(request.find("bytes=") + 6));
      const std::string range = std::to_string(n) + "-" + std::to_string(n) + "/20";
      if (++count == 1 && third == "stray") {
        return Reply{{Partial(range, 1, "", text.substr(n, 1) + "HTTP/1.1 206")}, 0, true};
      }
      if (count != 3 || third.empty())
        return Reply{{Partial(range, 1, "", text.substr(n, 1))}, 0, true};
      if (third == "close") {
        return Reply{{Partial(range, 1, "Connection: close\r\n", text.substr(n, 1))}, 0, true};
      }
      if (third == "whole")
        return Reply{{"HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\n" + text}, 0, true};
      if (third == "cut") return Reply{{Partial(range, 1, "", "")}, 0, false};
      return Reply{{}, 0, false};  // hangs up
    };
  };
  const std::pair<std::string, std::string> cases[] = {
      {"", "01234567 served"},
      {"close", "012 served"},
      {"stray", "0 served"},
      {"hang up", "01 served"},
      {"whole", "01 not served"},
      {"cut",
       "HttpClient : range reply error : connection closed with 1 of 1 bytes missing after 01"},
  };
  for (const auto& [what, result] : cases) {
    // A server and a client of its own: the server of the case before may still be answering the
    // requests its client no longer waits for.
    net_testing::ScriptedServer server;
    server.SetHandler(handler(what));
    HttpClient client;
    client.SetDirectPort(server.GetPort());
    std::vector<net_testing::RangeRecorder> recorders(8);
    std::vector<HttpClient::RangeAsk> asks;
    for (std::uint64_t n = 0; n < 8; ++n) asks.push_back({n, n, &recorders[n]});
    std::string answered;
    try {
      const HttpClient::Batch batch = client.RequestRanges(
          "http://127.0.0.1/f", asks, [&](std::size_t i) { answered += recorders[i].received; });
      EXPECT_EQ(batch.answered, answered.size());
      answered += batch.served ? " served" : " not served";
    } catch (const Exception& failure) {
      answered = failure.GetText() + " after " + answered;
    }
    EXPECT_EQ(answered, result) << what;
  }
}

TEST_F(HttpRangeTest, AbortEndsAStalledBody) {
  server_.SetReplies({{{Partial("0-99/100", 100, "", "abc"), "rest"}, net_testing::kSilent}});
  auto aborted_at = std::chrono::steady_clock::now();
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    aborted_at = std::chrono::steady_clock::now();
    client_.SetAbort(true);
  });
  EXPECT_EQ(Fetch(0, 99), "HttpClient : Abort by User. after abc");
  const auto ended_at = std::chrono::steady_clock::now();
  stopper.join();
  EXPECT_LT(ended_at - aborted_at, std::chrono::seconds(1));
}

}  // namespace
