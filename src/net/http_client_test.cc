#include "net/http_client.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "base/exception.h"
#include "net/testing/scripted_server.h"

namespace {

using net_testing::Reply;
using net_testing::ScriptedServer;

struct Outcome {
  std::optional<std::string> document;  // set when the request succeeded
  bool held = false;                    // the request succeeded, whether or not it reads whole
  std::string error;
  bool error_mark = false;
};

class HttpClientTest : public testing::Test {
 protected:
  HttpClientTest() { client_.SetDirectPort(server_.GetPort()); }

  // One request of `url` against the scripted server's reply, directly.
  Outcome Fetch(const Reply& reply, const std::string& url = "http://127.0.0.1/file") {
    server_.SetReplies({reply});
    Outcome outcome;
    try {
      client_.Request(url);
      outcome.held = true;
      std::string document(client_.GetDataSize(), '\0');
      client_.ReadData(client_.GetDataSize(), document.data());
      outcome.document = document;
    } catch (const Exception& failure) {
      outcome.error = failure.GetText();
      outcome.error_mark = failure.IsError();
    }
    return outcome;
  }

  // After a failure the client holds nothing.
  void ExpectNoDocument() {
    EXPECT_EQ(client_.GetDataSize(), 0u);
    EXPECT_EQ(client_.GetReceivedSize(), 0u);
    char byte = 0;
    try {
      client_.ReadData(0, &byte);
      ADD_FAILURE() << "a document is held";
    } catch (const Exception& failure) {
      EXPECT_EQ(failure.GetText(), "HttpClient : ReadData error : RecvBuffer is NULL.");
    }
  }

  ScriptedServer server_;
  // Held by pointer: the client's destructor may throw, the fixture's may not.
  std::unique_ptr<HttpClient> owned_ = std::make_unique<HttpClient>();
  HttpClient& client_ = *owned_;
};

TEST_F(HttpClientTest, RequestBytesDirectAndThroughAProxy) {
  const Reply ok{{"HTTP/1.0 200 OK\r\n\r\n"}};
  ASSERT_TRUE(Fetch(ok, "http://127.0.0.1/dir/file?x=1").document);
  client_.SetUserAgent("RovanSevenFileListClient");
  ASSERT_TRUE(Fetch(ok, "127.0.0.1/no-scheme").document);
  client_.SetProxy("127.0.0.1:" + std::to_string(server_.GetPort()));
  ASSERT_TRUE(Fetch(ok, "http://h.example/dir/file?x=1").document);
  const std::string rest = " HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: ";
  const std::string end = "\r\nContent-Type: text/html; charset=UTF-8\r\n\r\n";
  // Through a proxy the target is the whole URL and Host names the proxy host, without a port.
  EXPECT_EQ(server_.GetRequests(),
            (std::vector<std::string>{
                "GET /dir/file?x=1" + rest + "V-Lib Http Client" + end,
                "GET /no-scheme" + rest + "RovanSevenFileListClient" + end,
                "GET http://h.example/dir/file?x=1" + rest + "RovanSevenFileListClient" + end}));
}

// What each reply gives: the document, or the error after which the client holds nothing.
TEST_F(HttpClientTest, RepliesAcceptedAndRefused) {
  const std::string ok = "HTTP/1.0 200 OK\r\n",
                    bad_length = "error : HTTP header error : Content-Length is invalied value.",
                    exceeded = "error : Document data exceed the Content-Length.",
                    cut = "error : header recv error : connection closed before the header ended.";
  const std::pair<Reply, std::string> cases[] = {
      {{{ok + "Content-Length: 5\r\n\r\nhello"}}, "hello"},
      {{{"HTTP/1.1 200 OK\nServer: x\n\nbare\r\nlf"}}, "bare\r\nlf"},
      // The header arrives in pieces, and the first body bytes come with its end.
      {{{"HTTP/1.0 2", "00 OK\r\nContent-", "Length: 6\r", "\n\r\nab", "cdef"}, 5}, "abcdef"},
      // Field names in any letter case: a body cut short of its length cannot be read whole.
      {{{ok + "content-length: 20\r\n\r\ncut at a line end\r\n"}},
       "error : ReadData error : read size over."},
      {{{ok + "Content-Length: 0\r\n\r\n"}}, ""},
      {{{ok + "\r\n", std::string(300000, 'z')}}, std::string(300000, 'z')},
      {{{"HTTP/1.0 200\r\n\r\n"}}, "error : HTTP header error : HTTP/1.0 200"},
      {{{"HTTP/1.0 404 Not Found\r\n\r\n"}}, "error : Receive error code : 404"},
      {{{"ICY 200 OK\r\n\r\n"}}, "error : respons is not HTTP : ICY 200 OK"},
      // An empty first line is the status line, not the end of the header.
      {{{"\r\n" + ok + "\r\n"}}, "error : respons is not HTTP : "},
      {{{ok + "Content-Length: -1\r\n\r\n"}}, bad_length},
      {{{ok + "Content-Length: 12a\r\n\r\n"}}, bad_length},
      {{{ok + "Content-Length: 4294967296\r\n\r\n"}}, bad_length},
      {{{ok + "Content-Length: " + std::string(62, '0') + "1\r\n\r\n"}}, bad_length},
      {{{ok + "Content-Length: 0\r\n\r\nx"}}, exceeded},
      {{{ok + "Content-Length: 3\r\n\r\nabcd"}}, exceeded},
      // Cut off inside the header: a failure, not a wait and not an empty success.
      {{{ok + "Content-Le"}}, cut},
      {{{""}}, cut},
      {{{ok + "X: " + std::string(70000, 'x')}},
       "error : HTTP header error : header longer than 64 KiB."},
  };
  for (const auto& [reply, result] : cases) {
    const Outcome outcome = Fetch(reply);
    if (result.starts_with("error : ")) {
      EXPECT_EQ(outcome.error, "HttpClient : " + result.substr(8)) << reply.pieces[0];
      EXPECT_TRUE(outcome.error_mark);
      if (!outcome.held) ExpectNoDocument();
    } else {
      EXPECT_EQ(outcome.document, result) << reply.pieces[0] << outcome.error;
      EXPECT_EQ(client_.GetDataSize(), result.size());
    }
  }
}

// An abort during a transfer is met by the update run's tests; here: the flag stays until the owner
// clears it, so that an abort that lands between two requests ends the next one before it
// connects.
TEST_F(HttpClientTest, AnAbortStaysUntilCleared) {
  client_.SetAbort(true);
  const Outcome aborted = Fetch({{"HTTP/1.0 200 OK\r\n\r\nnext"}});
  EXPECT_EQ(aborted.error, "HttpClient : Abort by User.");
  EXPECT_FALSE(aborted.error_mark);
  for (const std::string& request : server_.GetRequests()) EXPECT_EQ(request, "");
  ExpectNoDocument();
  client_.SetAbort(false);
  EXPECT_TRUE(Fetch({{"HTTP/1.0 200 OK\r\n\r\nnext"}}).document);
}

TEST_F(HttpClientTest, UrlAndConnectionFailures) {
  for (const char* url : {"ftp://127.0.0.1/x", "HTTP://127.0.0.1/x"}) {
    const Outcome outcome = Fetch({}, url);
    EXPECT_EQ(outcome.error, std::string("HttpClient : not http query : ") + url);
  }
  // No path after the host.
  EXPECT_EQ(Fetch({}, "http://127.0.0.1").error, "File Download Error.");
  // A port outside 1..65535 cannot be connected to.
  EXPECT_EQ(Fetch({}, "http://127.0.0.1:70000/x").error, "File Download Error.");
  // The URL's own port wins over the default port.
  EXPECT_EQ(
      Fetch({}, "http://127.0.0.1:" + std::to_string(net_testing::FindFreePort()) + "/x").error,
      "HttpClient : connect error : 10061");
  // A name goes through the resolver and then the same connection.
  EXPECT_TRUE(Fetch({{"HTTP/1.0 200 OK\r\n\r\nx"}}, "http://localhost/x").document);
}

// The text splits at the last colon; the port reads like strtol and must be 1..65535. A refused
// text leaves the proxy off: the request goes straight to the server.
TEST_F(HttpClientTest, ProxySettings) {
  for (const std::string text : {"no-colon", "h:99999999999", "h:0", "h:70000", ""}) {
    try {
      client_.SetProxy(text);
      EXPECT_EQ(text, "");
    } catch (const Exception& failure) {
      EXPECT_TRUE(failure.IsError());
      EXPECT_EQ(failure.GetText(), "HttpClient : プロキシ設定のエラー\r\n" + text);
    }
    EXPECT_TRUE(Fetch({{"HTTP/1.0 200 OK\r\n\r\n"}}).document) << text;
  }
  client_.SetProxy("a:b: 3128x");
  const std::string error = Fetch({{"HTTP/1.0 200 OK\r\n\r\n"}}).error;
  EXPECT_TRUE(error == "HttpClient : host not found : a:b" ||
              error == "HttpClient : unknown host error : a:b")
      << error;
}

}  // namespace
