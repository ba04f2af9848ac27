#include "platform/socket.h"

#include <gtest/gtest.h>

#include <thread>

namespace platform {
namespace {

TEST(SocketTest, LoopbackRoundTripAndEndOfStream) {
  ListeningSocket listener;
  ASSERT_TRUE(listener.Listen(kLoopbackAddress, 0));
  const std::uint16_t port = listener.GetPort();
  ASSERT_NE(port, 0);
  std::thread peer([&] {
    Socket connection = listener.Accept(5000);
    char buffer[16];
    const long n = connection.Receive(buffer, sizeof buffer);
    if (n > 0) connection.Send(buffer, static_cast<std::size_t>(n));
  });
  Socket client;
  ASSERT_TRUE(client.Create());
  ASSERT_TRUE(client.Connect(kLoopbackAddress, port));
  EXPECT_EQ(client.Send("ping", 4), 4);
  char reply[8] = {};
  EXPECT_EQ(client.Receive(reply, sizeof reply), 4);
  EXPECT_EQ(std::string(reply, 4), "ping");
  peer.join();
  // The peer's socket went with its thread: the stream has ended.
  EXPECT_EQ(client.Receive(reply, sizeof reply), 0);
  // Nobody accepts within the time.
  EXPECT_FALSE(listener.Accept(10).IsOpen());
  EXPECT_EQ(LastSocketError(), kSocketErrorTimedOut);
}

TEST(SocketTest, FailuresUseTheSocketLibraryNumbers) {
  std::uint16_t closed_port = 0;
  {
    ListeningSocket probe;
    ASSERT_TRUE(probe.Listen(kLoopbackAddress, 0));
    closed_port = probe.GetPort();
  }
  Socket client;
  ASSERT_TRUE(client.Create());
  EXPECT_FALSE(client.Connect(kLoopbackAddress, closed_port));
  EXPECT_EQ(LastSocketError(), kSocketErrorConnectionRefused);
  // Sending on a connection the peer never accepted fails instead of ending the process.
  EXPECT_LT(client.Send("x", 1), 0);

  EXPECT_TRUE(ResolveHost("name with spaces.invalid").empty());
  EXPECT_TRUE(LastSocketError() == kSocketErrorHostNotFound ||
              LastSocketError() == kSocketErrorTryAgain)
      << LastSocketError();
  const auto local = ResolveHost("localhost");
  ASSERT_FALSE(local.empty());
  EXPECT_EQ(local.front() >> 24, 127u);
}

TEST(SocketTest, NumericAddressesOnly) {
  std::uint32_t address = 0;
  EXPECT_TRUE(ParseIpv4Address("127.0.0.1", address));
  EXPECT_EQ(address, kLoopbackAddress);
  EXPECT_TRUE(ParseIpv4Address("255.255.255.255", address));
  EXPECT_EQ(address, 0xFFFFFFFFu);
  EXPECT_FALSE(ParseIpv4Address("127.0.0.1:8080", address));
  EXPECT_FALSE(ParseIpv4Address("localhost", address));
  EXPECT_FALSE(ParseIpv4Address("", address));
}

}  // namespace
}  // namespace platform
