// Clients on threads of their own sharing a pool and a cap; CTest cuts the limits to 700 ms.
#include "net/connection_pool.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/exception.h"
#include "net/http_client.h"
#include "net/rate_cap.h"
#include "net/testing/range_recorder.h"
#include "net/testing/scripted_server.h"

namespace {

using net_testing::Reply;
using Texts = std::vector<std::string>;

// A document's bytes follow from its path, so that a reply given to the wrong request shows.
std::string DocumentOf(const std::string& path) { return path + std::string(500, '.') + path; }

// Answers each GET with its document; /stall falls silent 10 bytes short of its end.
void Serve(net_testing::ScriptedServer& server, bool keep) {
  server.SetHandler([keep](const std::string& request) {
    const std::string path = request.substr(4, request.find(' ', 4) - 4);
    const std::string body = DocumentOf(path),
                      whole = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                              (keep ? "" : "\r\nConnection: close") + "\r\n\r\n" + body;
    if (path != "/stall") return Reply{{whole}, 0, keep};
    return Reply{{whole.substr(0, whole.size() - 10), "rest"}, net_testing::kSilent};
  });
}

// One client per path, side by side: "kept" or "closed" for the right document, else what failed.
// Without a cap they meet as their bodies begin, so that all are in flight together; with one, the
// wait would count against the rate floor, as a slow sink's does.
Texts FetchSideBySide(net_testing::ScriptedServer& server, std::shared_ptr<ConnectionPool> pool,
                      const Texts& paths, std::shared_ptr<RateCap> cap = nullptr,
                      std::stop_token stop = {}) {
  std::mutex mutex;
  std::condition_variable met;
  std::size_t missing = cap == nullptr ? paths.size() : 0;
  const auto meet = [&] {
    std::unique_lock hold(mutex);
    if (missing != 0 && --missing == 0) met.notify_all();
    met.wait_for(hold, std::chrono::seconds(10), [&] { return missing == 0; });
  };
  Texts outcomes(paths.size());
  std::vector<std::thread> clients;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    clients.emplace_back([&, i] {
      net_testing::RangeRecorder sink;
      sink.on_begin = meet;
      HttpClient client;
      client.SetDirectPort(server.GetPort());
      client.UsePool(pool);
      client.UseRateCap(cap);
      client.SetStop(stop);
      try {
        const bool kept = client.RequestKept("http://127.0.0.1" + paths[i], sink);
        outcomes[i] = sink.received != DocumentOf(paths[i]) ? "wrong bytes"
                      : kept                                ? "kept"
                                                            : "closed";
      } catch (const Exception& failure) {
        outcomes[i] = failure.GetText();
      }
    });
  }
  for (std::thread& client : clients) client.join();
  return outcomes;
}

// Six requests in flight take six connections; the stalled one fails alone, the pool keeps four of
// the others for the next four requests. A server that closes after every reply leaves none.
TEST(ConnectionPoolTest, ClientsShareKeptConnections) {
  for (const bool keep : {true, false}) {
    net_testing::ScriptedServer server;
    Serve(server, keep);
    const auto pool = std::make_shared<ConnectionPool>(4);
    Texts outcomes(6, keep ? "kept" : "closed");
    outcomes[5] = "HttpClient : body recv error : nothing received for 700 ms.";
    EXPECT_EQ(FetchSideBySide(server, pool, {"/a", "/b", "/c", "/d", "/e", "/stall"}), outcomes);
    EXPECT_EQ(pool->IdleCount(), keep ? 4u : 0u);
    outcomes.resize(4);
    EXPECT_EQ(FetchSideBySide(server, pool, {"/g", "/h", "/i", "/j"}), outcomes);
    EXPECT_EQ(server.GetConnectionCount(), keep ? 6 : 10);
  }
}

// 600 bytes/s for both together is below the rate floor, yet the time the cap holds a transfer back
// is not the server's. A request held back still ends at an abort.
TEST(ConnectionPoolTest, ClientsShareARateCap) {
  net_testing::ScriptedServer server;
  Serve(server, true);
  EXPECT_EQ(FetchSideBySide(server, std::make_shared<ConnectionPool>(), {"/a", "/b"},
                            std::make_shared<RateCap>(600)),
            Texts(2, "kept"));
  std::stop_source quit;
  const std::jthread stopper([&quit] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    quit.request_stop();
  });
  EXPECT_EQ(FetchSideBySide(server, std::make_shared<ConnectionPool>(), {"/c"},
                            std::make_shared<RateCap>(1), quit.get_token()),
            Texts{"HttpClient : Abort by User."});
}

}  // namespace
