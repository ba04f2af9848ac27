#include "net/winsock_base.h"

#include <gtest/gtest.h>

#include "base/exception.h"
#include "net/http_client.h"

namespace {

struct Calls {
  int startups = 0;
  int cleanups = 0;
  int result = 0;
  std::uint16_t version = 0x0002;
};
Calls calls;

int FakeStartup(std::uint16_t version, platform::SocketLibraryInfo& info) {
  ++calls.startups;
  EXPECT_EQ(version, 0x0002);
  if (calls.result != 0) return calls.result;
  info.version = calls.version;
  return 0;
}

void FakeCleanup() { ++calls.cleanups; }

class WinsockBaseTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(WinsockBase::GetClientCount(), 0);
    calls = {};
    WinsockBase::SetLibrary({FakeStartup, FakeCleanup});
  }
  void TearDown() override { WinsockBase::SetLibrary({}); }
};

TEST_F(WinsockBaseTest, StartsOnceAndCleansUpWithTheLastClient) {
  {
    WinsockBase first;
    HttpClient second;
    EXPECT_EQ(calls.startups, 1);
    EXPECT_EQ(WinsockBase::GetClientCount(), 2);
    EXPECT_TRUE(WinsockBase::IsLibraryStarted());
  }
  EXPECT_EQ(calls.cleanups, 1);
  EXPECT_EQ(WinsockBase::GetClientCount(), 0);
  EXPECT_FALSE(WinsockBase::IsLibraryStarted());
  // A client after all others were gone starts the library again.
  { WinsockBase again; }
  EXPECT_EQ(calls.startups, 2);
  EXPECT_EQ(calls.cleanups, 2);
}

// Neither a failed start-up nor a refused version counts a client, so the next one tries again.
TEST_F(WinsockBaseTest, RefusedStartUpsCountNothing) {
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
  calls.result = 0;
  calls.version = 0x0202;
  EXPECT_EQ(failure_of(),
            std::pair(std::tstring("WinsockBase : [worning] Worng Winsock Version."), false));
  EXPECT_EQ(WinsockBase::GetClientCount(), 0);
  EXPECT_FALSE(WinsockBase::IsLibraryStarted());
  EXPECT_EQ(calls.cleanups, 1);  // the start-up that did succeed is undone
  calls.version = 0x0002;
  { WinsockBase client; }
  EXPECT_EQ(calls.startups, 3);
}

}  // namespace
