// Kept connections, shared by the clients handed the same pool: for each server (as the client
// names it: the host and port connected to and, through a proxy, the document's server) up to a
// number of idle connections, the one that was given back last taken first. A connection taken
// belongs to its taker alone until it is given back, so no two requests ever share one. Any thread
// may call.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "base/tstring.h"
#include "net/http_connection.h"

class ConnectionPool {
 public:
  static constexpr std::size_t kDefaultPerServer = 16;
  static constexpr std::size_t kMostPerServer = 32;

  // idle_per_server is held to 1..kMostPerServer.
  explicit ConnectionPool(std::size_t idle_per_server = kDefaultPerServer);

  // A kept connection to the server with nothing waiting on it, or none. Those with bytes or an
  // end waiting are closed on the way.
  std::unique_ptr<HttpConnection> Take(const std::tstring& server);
  // Keeps a connection whose last reply left no doubt where it ended; closes it instead when the
  // server has as many idle connections as the pool keeps.
  void Give(const std::tstring& server, std::unique_ptr<HttpConnection> connection);
  // A connection to the server was given back once: it keeps connections.
  bool Keeps(const std::tstring& server);
  // The idle connections kept, for every server together.
  std::size_t IdleCount();

 private:
  std::unique_ptr<HttpConnection> Pop(const std::tstring& server);

  const std::size_t per_server_;
  std::mutex mutex_;
  std::map<std::tstring, std::vector<std::unique_ptr<HttpConnection>>> idle_;
  std::set<std::tstring> keeping_;
};
