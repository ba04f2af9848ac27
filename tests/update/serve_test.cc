// varne-release serve met on raw connections: byte ranges of the site's files, HTTP/1.1
// connections kept for further requests, and the updater's HTTP/1.0 requests answered as always.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "site/site_names.h"
#include "support/engine_harness.h"

namespace test_support {
namespace {

// Up to `size` bytes, fewer when the connection ends or stalls first.
std::string ReceiveBytes(platform::Socket& connection, std::size_t size) {
  std::string bytes(size, '\0');
  std::size_t got = 0;
  for (long n; got < size && (n = connection.Receive(&bytes[got], size - got)) > 0;) got += n;
  return bytes.substr(0, got);
}

// How long a new connection's HTTP/1.0 request for the list waits for its status line, which must
// say "200 OK".
std::chrono::steady_clock::duration ProbeTime(std::uint16_t port) {
  platform::Socket probe;
  EXPECT_TRUE(probe.Create() && probe.Connect(platform::kLoopbackAddress, port));
  probe.SetReceiveTimeout(1000);
  const std::string request = "GET /filelist HTTP/1.0\r\n\r\n";
  const auto asked = std::chrono::steady_clock::now();
  probe.Send(request.data(), request.size());
  EXPECT_EQ(ReceiveBytes(probe, 15), "HTTP/1.0 200 OK");
  return std::chrono::steady_clock::now() - asked;
}

using Exchange = std::pair<std::string, std::string>;  // a request and its reply, byte for byte

// An HTTP/1.1 request with header fields, and its reply: status, fields and body.
Exchange Ask(const std::string& fields, const std::string& status, const std::string& reply_fields,
             const std::string& body, const std::string& target = "/filelist") {
  const char* type = status[0] == '4' ? "text/plain" : "application/octet-stream";
  return {"GET " + target + " HTTP/1.1\r\n" + fields + "\r\n",
          "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\n" + reply_fields +
              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body};
}

TEST(ServeTest, RangesAndConnectionsAsHttpAnswersThem) {
  TempFolder image("varne-image"), site("varne-site");
  WriteFile(image.GetPath() / "a.txt", "hello");
  const std::uint16_t port = net_testing::FindFreePort();
  BuildSite(image.GetPath(), site.GetPath(), port);
  // The package, made sparse beyond 4 GiB with four known bytes at its end.
  const auto huge = site.GetPath() / "packages" / EncodePathForQuery("a.txt") / "5.vpk";
  std::filesystem::resize_file(huge, (5ull << 30) - 4);
  std::ofstream(huge, std::ios::binary | std::ios::app) << "tail";
  const ReleaseServer server(site.GetPath(), port);

  const std::string list = ReadFile(site.GetPath() / "filelist"), n = std::to_string(list.size());
  const auto range = [&](const std::string& field, std::size_t first, std::size_t size) {
    const std::string bytes = std::to_string(first) + "-" + std::to_string(first + size - 1);
    return Ask(field + "\r\n", "206 Partial Content",
               "Content-Range: bytes " + bytes + "/" + n + "\r\n", list.substr(first, size));
  };
  const auto whole = [&](const std::string& fields) { return Ask(fields, "200 OK", "", list); };
  const auto none = [&](const std::string& range) {
    return Ask("Range: " + range + "\r\n", "416 Range Not Satisfiable",
               "Content-Range: bytes */" + n + "\r\n", "Range Not Satisfiable\n");
  };
  const std::size_t last = list.size() - 1;
  const Exchange first = range("Range: bytes=0-1", 0, 2), second = range("Range: bytes=2-3", 2, 2);
  // Exchanges one after another on one connection, and whether the server then ends it.
  const std::pair<std::vector<Exchange>, bool> cases[] = {
      // Kept alive between them, and closed once idle.
      {{range("Range: bytes=0-0", 0, 1), range("range: bytes=3-7", 3, 5),
        range("RANGE: bytes=" + std::to_string(last) + "-", last, 1),
        range("Range: bytes=-4", last - 3, 4), range("Range: bytes=-99999", 0, last + 1),
        range("Range: bytes=2-99999999999999999999999", 2, last - 1), none("bytes=" + n + "-"),
        none("bytes=-0")},
       true},
      {{{first.first + second.first, first.second + second.second}}, false},  // sent at once
      {{whole("Range: bytes=0-0,2-3\r\n"), whole("Range: bytes=5-2\r\n"),
        whole("Range: items=0-1\r\n"), whole("Range: bytes=0-1\r\nRange: bytes=2-3\r\n")},
       false},
      {{Ask("Range: bytes=5368709116-\r\n", "206 Partial Content",
            "Content-Range: bytes 5368709116-5368709119/5368709120\r\n", "tail",
            "/filelist?file=" + EncodePathForQuery("a.txt") + "&orgsize=5")},
       false},
      {{Ask("Connection: Keep-Alive, close\r\n", "200 OK", "Connection: close\r\n", list)}, true},
      // A body is skipped, never taken for the next request; one of no stated length ends it.
      {{{Ask("Content-Length: 22\r\n", "200 OK", "", list).first + "GET /none HTTP/1.1\r\n\r\n",
         whole("").second},
        first},
       false},
      {{Ask("Transfer-Encoding: chunked\r\n", "200 OK", "Connection: close\r\n", list)}, true},
      // The updater's own request.
      {{{"GET /filelist HTTP/1.0\r\nUser-Agent: x\r\n\r\n",
         "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " + n +
             "\r\n\r\n" + list}},
       true},
  };
  for (const auto& [exchanges, closes] : cases) {
    platform::Socket connection;
    ASSERT_TRUE(connection.Create() && connection.Connect(platform::kLoopbackAddress, port));
    connection.SetReceiveTimeout(10000);
    for (const auto& [request, expected] : exchanges) {
      ASSERT_EQ(connection.Send(request.data(), request.size()), long(request.size()));
      EXPECT_EQ(ReceiveBytes(connection, expected.size()), expected) << request;
    }
    char more;
    if (closes) {
      EXPECT_EQ(connection.Receive(&more, 1), 0) << exchanges.back().first;
    }
  }
}

// Clients that send their request a byte at a time, or nothing at all, hold no worker: among far
// more of them than there are workers a request is answered at once, and a header that has not
// come whole within its time is cut off, however steadily it drips.
TEST(ServeTest, SlowAndIdleClientsHoldNoWorker) {
  TempFolder image("varne-image"), site("varne-site");
  WriteFile(image.GetPath() / "a.txt", "hello");
  const std::uint16_t port = net_testing::FindFreePort();
  BuildSite(image.GetPath(), site.GetPath(), port);
  const ReleaseServer server(site.GetPath(), port);
  std::vector<platform::Socket> crowd(380);  // the first 80 drip, the others send nothing
  for (platform::Socket& connection : crowd) {
    ASSERT_TRUE(connection.Create() && connection.Connect(platform::kLoopbackAddress, port));
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const std::string drip = "GET /filelist HTTP/1.1\r\nX-Slow: ";
  for (std::size_t sent = 0; Clock::now() - start < std::chrono::seconds(6); ++sent) {
    for (std::size_t i = 0; i < 80; ++i) crowd[i].Send(&drip[std::min(sent, drip.size() - 1)], 1);
    EXPECT_LT(ProbeTime(port), std::chrono::milliseconds(500)) << sent;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  // Ten seconds after they came, every one of them has been closed without a reply.
  std::this_thread::sleep_until(start + std::chrono::seconds(11));
  for (platform::Socket& connection : crowd) {
    char byte;
    EXPECT_EQ(connection.WaitReadable(0), platform::SocketWait::kReady);
    EXPECT_LE(connection.Receive(&byte, 1), 0);
  }
}

// Clients that take their replies slowly or not at all hold no worker: among many of them, once
// their connections' buffers have filled, a probe is answered within 50 ms. Beyond the connections
// it was told to serve the server answers "503" at once.
TEST(ServeTest, ReadersThatDoNotReadAndCrowdsBeyondCapacity) {
  TempFolder image("varne-image"), site("varne-site");
  WriteFile(image.GetPath() / "a.txt", "hello");
  const std::uint16_t port = net_testing::FindFreePort();
  BuildSite(image.GetPath(), site.GetPath(), port);
  std::filesystem::resize_file(site.GetPath() / "packages" / EncodePathForQuery("a.txt") / "5.vpk",
                               20 << 20);
  const ReleaseServer server(site.GetPath(), port, "", "--connections 500");
  {
    std::vector<platform::Socket> idle(500 + 10);
    for (std::size_t i = 0; i < idle.size(); ++i) {
      ASSERT_TRUE(idle[i].Create() && idle[i].Connect(platform::kLoopbackAddress, port)) << i;
    }
    // Refused as soon as the server reaches it among the connections before it, never left
    // waiting until others end.
    idle.back().SetReceiveTimeout(8000);
    EXPECT_EQ(ReceiveBytes(idle.back(), 12), "HTTP/1.0 503");
  }
  const std::string package =
      "GET /filelist?file=" + EncodePathForQuery("a.txt") + "&orgsize=5 HTTP/1.0\r\n\r\n";
  std::vector<platform::Socket> crowd(200);  // the even ones read a little now and then
  for (platform::Socket& connection : crowd) {
    ASSERT_TRUE(connection.Create() && connection.Connect(platform::kLoopbackAddress, port));
    connection.Send(package.data(), package.size());
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  for (int round = 0; round < 20; ++round) {
    char taken[1000];
    for (std::size_t i = 0; i < crowd.size(); i += 2) {
      if (crowd[i].WaitReadable(0) == platform::SocketWait::kReady) crowd[i].Receive(taken, 1000);
    }
    EXPECT_LT(ProbeTime(port), std::chrono::milliseconds(50)) << round;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

}  // namespace
}  // namespace test_support
