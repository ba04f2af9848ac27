// Connections, sends and receives are exercised by the HTTP client's tests over loopback; these
// cover what those cannot pin down.
#include "platform/socket.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(SocketTest, FailuresUseTheSocketLibraryNumbersAndNeverSignal) {
  EXPECT_TRUE(ResolveHost("name with spaces.invalid").empty());
  EXPECT_TRUE(LastSocketError() == kSocketErrorHostNotFound ||
              LastSocketError() == kSocketErrorTryAgain)
      << LastSocketError();
  ListeningSocket listener;
  ASSERT_TRUE(listener.Listen(kLoopbackAddress, 0));
  EXPECT_FALSE(listener.Accept(10).IsOpen());
  EXPECT_EQ(LastSocketError(), kSocketErrorTimedOut);
  // Sending on a socket that never connected fails instead of ending the process.
  Socket unconnected;
  ASSERT_TRUE(unconnected.Create());
  EXPECT_LT(unconnected.Send("x", 1), 0);
}

TEST(SocketTest, OnlyWholeNumericAddressesAreAddresses) {
  std::uint32_t address = 0;
  EXPECT_TRUE(ParseIpv4Address("255.255.255.255", address));
  EXPECT_EQ(address, 0xFFFFFFFFu);
  EXPECT_FALSE(ParseIpv4Address("127.0.0.1:8080", address));
  EXPECT_FALSE(ParseIpv4Address("localhost", address));
}

}  // namespace
}  // namespace platform
