#include "net/http_reply.h"

#include <gtest/gtest.h>

namespace http_reply {
namespace {

using Result = HeaderCollector::Result;

TEST(HttpReplyTest, LinesEndWithEitherBreakAndBodyBytesSurviveAnySplit) {
  const std::string reply = "HTTP/1.0 200 OK\r\nA: 1\nB: 2\r\n\nbody\nbytes\r\n\r\n";
  HeaderCollector whole;
  ASSERT_EQ(whole.Add(reply.data(), reply.size()), Result::kComplete);
  EXPECT_EQ(whole.GetLines(), (std::vector<std::tstring>{"HTTP/1.0 200 OK", "A: 1", "B: 2"}));
  EXPECT_EQ(whole.GetRest(), "body\nbytes\r\n\r\n");
  // Fed one byte at a time, the header ends at the same byte: the rest is only what follows.
  HeaderCollector bytewise;
  std::size_t used = 0;
  for (; used < reply.size(); ++used) {
    if (bytewise.Add(&reply[used], 1) == Result::kComplete) break;
  }
  EXPECT_EQ(bytewise.GetLines(), whole.GetLines());
  EXPECT_EQ(reply.substr(used + 1), "body\nbytes\r\n\r\n");
  EXPECT_EQ(bytewise.GetRest(), "");
}

TEST(HttpReplyTest, RefusesWhatIsNotAnHttpHeader) {
  const std::string ftp = "FTP/1.0 200 OK\r\n";
  HeaderCollector collector;
  EXPECT_EQ(collector.Add(ftp.data(), ftp.size()), Result::kNotHttp);
  EXPECT_EQ(collector.GetLines().front(), "FTP/1.0 200 OK");
  // An empty first line is the status line, not the end of the header.
  HeaderCollector empty;
  EXPECT_EQ(empty.Add("\r\nHTTP/1.0 200 OK\r\n\r\n", 21), Result::kNotHttp);
  // A header that never ends is refused once it passes the limit, however it arrives.
  HeaderCollector endless;
  const std::string status = "HTTP/1.0 200 OK\r\n";
  ASSERT_EQ(endless.Add(status.data(), status.size()), Result::kNeedMore);
  const std::string line = "X: " + std::string(1000, 'x') + "\r\n";
  Result result = Result::kNeedMore;
  for (int i = 0; i < 100 && result == Result::kNeedMore; ++i) {
    result = endless.Add(line.data(), line.size());
  }
  EXPECT_EQ(result, Result::kTooLong);
  HeaderCollector one_line;
  const std::string long_line = status + std::string(kMaxHeaderBytes, 'y');
  EXPECT_EQ(one_line.Add(long_line.data(), long_line.size()), Result::kTooLong);
}

TEST(HttpReplyTest, StatusLineShapes) {
  std::tstring code;
  EXPECT_TRUE(GetStatusCode("HTTP/1.1 200 OK", code));
  EXPECT_EQ(code, "200");
  EXPECT_TRUE(GetStatusCode("HTTP/1.0   404 Not Found", code));
  EXPECT_EQ(code, "404");
  EXPECT_FALSE(GetStatusCode("HTTP/1.0 200", code));
  EXPECT_FALSE(GetStatusCode("HTTP/1.0 ", code));
  EXPECT_FALSE(GetStatusCode("HTTP/10 200 OK", code));
  EXPECT_FALSE(GetStatusCode("HTTP/", code));
}

TEST(HttpReplyTest, FieldsKeepCaseAndFirstValue) {
  const auto fields = GetFields({"HTTP/1.0 200 OK", "Content-Length: 5", "content-length: 7",
                                 "Content-Length: 9", "no separator", ": nameless", "Empty: "});
  EXPECT_EQ(fields.at("Content-Length"), "5");
  EXPECT_EQ(fields.at("content-length"), "7");
  EXPECT_EQ(fields.at("Empty"), "");
  EXPECT_EQ(fields.size(), 3u);
}

TEST(HttpReplyTest, ContentLengthValues) {
  std::uint32_t length = 99;
  EXPECT_TRUE(ParseContentLength("0", length));
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(ParseContentLength("  4294967295", length));
  EXPECT_EQ(length, 4294967295u);
  EXPECT_TRUE(ParseContentLength("+12", length));
  EXPECT_EQ(length, 12u);
  EXPECT_TRUE(ParseContentLength("-0", length));
  EXPECT_EQ(length, 0u);
  for (const char* bad : {"4294967296", "12a", "12 ", "-1", " ", "x", "99999999999999999999"}) {
    EXPECT_FALSE(ParseContentLength(bad, length)) << bad;
  }
  EXPECT_TRUE(ParseContentLength(std::string(60, ' ') + "10", length));
  EXPECT_FALSE(ParseContentLength(std::string(61, ' ') + "10", length));
}

}  // namespace
}  // namespace http_reply
