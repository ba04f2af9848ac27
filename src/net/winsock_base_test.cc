#include "net/winsock_base.h"

#include <gtest/gtest.h>

#include "base/exception.h"
#include "net/http_client.h"

namespace {

// The fake library: how often it was started and cleaned up, and what a start-up answers.
struct Calls {
  int startups = 0, cleanups = 0, result = 0;
  std::uint16_t version = 0x0002;
} calls;

int FakeStartup(std::uint16_t version, platform::SocketLibraryInfo& info) {
  ++calls.startups;
  EXPECT_EQ(version, 0x0002);
  info.version = calls.version;
  return calls.result;
}

// The library is started with the first client and cleaned up with the last; neither a failed
// start-up nor a refused version counts a client, so the next one tries again.
TEST(WinsockBaseTest, StartsWithTheFirstClientAndCleansUpWithTheLast) {
  ASSERT_EQ(WinsockBase::GetClientCount(), 0);
  WinsockBase::SetLibrary({FakeStartup, [] { ++calls.cleanups; }});
  {
    WinsockBase first;
    HttpClient second;
    EXPECT_EQ(calls.startups, 1);
    EXPECT_EQ(WinsockBase::GetClientCount(), 2);
    EXPECT_TRUE(WinsockBase::IsLibraryStarted());
  }
  EXPECT_EQ(calls.cleanups, 1);
  EXPECT_FALSE(WinsockBase::IsLibraryStarted());
  const auto failure_of = [] {
    try {
      HttpClient client;
    } catch (const Exception& failure) {
      return std::pair(failure.GetText(), failure.IsError());
    }
    return std::pair(std::tstring("constructed"), false);
  };
  calls.result = 10091;
  EXPECT_EQ(failure_of(),
            std::pair(std::tstring("WinsockBase : [error] WSAStartup Failed."), true));
  calls = {.startups = 2, .cleanups = 1, .version = 0x0202};
  EXPECT_EQ(failure_of(),
            std::pair(std::tstring("WinsockBase : [worning] Worng Winsock Version."), false));
  EXPECT_EQ(calls.cleanups, 2);  // the start-up that did succeed is undone
  EXPECT_EQ(WinsockBase::GetClientCount(), 0);
  calls.version = 0x0002;
  EXPECT_EQ(failure_of().first, "constructed");
  EXPECT_EQ(calls.startups, 4);
  EXPECT_EQ(calls.cleanups, 3);
  WinsockBase::SetLibrary({});
}

}  // namespace
