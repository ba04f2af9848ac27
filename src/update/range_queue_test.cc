#include "update/range_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <regex>

#include "base/exception.h"
#include "net/http_client.h"
#include "net/testing/scripted_server.h"

namespace {

using net_testing::Reply;

// Answers each range with that many bytes.
Reply RangeReply(const std::string& request) {
  std::smatch match;
  std::regex_search(request, match, std::regex("Range: bytes=(\\d+)-(\\d+)"));
  const std::uint64_t first = std::stoull(match[1]), last = std::stoull(match[2]);
  return {{"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + match[1].str() + "-" +
           match[2].str() + "/100000000\r\nContent-Length: " + std::to_string(last - first + 1) +
           "\r\n\r\n" + std::string(last - first + 1, 'x')},
          0,
          true};
}

// Ranges taken in another order than asked, from another thread, come even when those asked
// before them fill what is asked ahead; a stop ends every wait.
TEST(RangeQueueTest, RangesTakenInAnyOrderComeAndAStopEndsEveryWait) {
  net_testing::ScriptedServer server;
  server.SetHandler(RangeReply);
  const std::tstring url("http://127.0.0.1:" + std::to_string(server.GetPort()) + "/d");
  // Each as much as is ever asked ahead.
  constexpr std::uint64_t kLong = 8 << 20;
  std::future<std::optional<std::string>> last;
  RangeQueue queue([](HttpClient&) {}, 2, {});
  queue.Start({{url, 0, kLong - 1}, {url, kLong, 2 * kLong - 1}, {url, 2 * kLong, 2 * kLong + 9}},
              std::tstring("test"));
  last = std::async(std::launch::async, [&] { return queue.Take(2); });
  ASSERT_EQ(last.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(last.get()->size(), 10u);
  EXPECT_EQ(queue.Take(0)->size(), kLong);

  net_testing::ScriptedServer silent;
  // The header begun, then nothing until the server goes.
  silent.SetReplies({{{"HTTP/1.1 206 Partial Content\r\n", ""}, net_testing::kSilent}});
  const std::tstring silent_url("http://127.0.0.1:" + std::to_string(silent.GetPort()) + "/d");
  std::future<void> waiting;
  RangeQueue stopped([](HttpClient&) {}, 1, {});
  stopped.Start({{silent_url, 0, 9}, {silent_url, 10, 19}}, std::tstring("test"));
  waiting = std::async(std::launch::async, [&] { stopped.Take(1); });
  stopped.Stop();
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  try {
    waiting.get();
    ADD_FAILURE() << "a stopped queue gave a range";
  } catch (const Exception& failure) {
    EXPECT_EQ(std::string(failure.GetText()), "HttpClient : Abort by User.");
  }
}

}  // namespace
