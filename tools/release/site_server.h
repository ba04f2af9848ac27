// A small HTTP server for a release site, for local use and tests: it answers the URLs that the
// site's nginx configuration answers, each file whole or one byte range of it. An HTTP/1.0 request
// is answered once and its connection closed; an HTTP/1.1 connection is kept for further requests
// until it idles, asks to close or reaches a number of requests.
//
// One thread serves every connection as its socket becomes ready: it reads requests as their bytes
// arrive and writes replies as the client takes them, so a client that sends or reads slowly, or
// not at all, holds a slot of that thread's wait and a descriptor, never a thread. A request's
// whole header must arrive within a time limit, and a reply is given up when the client takes none
// of it for a while. Beyond a number of connections a new one is answered "503 Service
// Unavailable" at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <list>
#include <string>
#include <vector>

#include "platform/socket.h"

class SiteServer {
 public:
  // Connections served at once unless told fewer; beyond them a new one is refused. Each costs a
  // descriptor, two while it is sent a file, and its pending bytes.
  static constexpr std::size_t kMaxConnections = 16384;

  // site: the site folder (system form); list_path: the URL path of the list; connections: how
  // many are served at once (1 to kMaxConnections).
  SiteServer(std::string site, std::string list_path, std::size_t connections = kMaxConnections);

  // False when the address cannot be listened on.
  bool Listen(std::uint32_t address, std::uint16_t port);
  std::uint16_t GetPort() const { return listener_.GetPort(); }
  // Serves until the process ends.
  [[noreturn]] void Serve();

 private:
  using Clock = std::chrono::steady_clock;

  // A connection, what it has sent of requests not yet answered and the reply it is being sent.
  struct Connection {
    platform::Socket socket;
    std::string pending;
    std::uint64_t body_left = 0;  // of the last request's body, skipped as it arrives
    bool replying = false;
    bool close_after = false;  // the connection ends with the reply being sent
    std::string head;          // the reply's bytes not yet sent before those of `file`
    std::ifstream file;
    std::uint64_t next = 0, end = 0;  // the bytes of `file` still to send
    int served = 0;                   // requests answered on it so far
    Clock::time_point deadline{};     // when it is given up
  };

  // One round: waits for the sockets, then accepts, reads and writes what they are ready for.
  void Round();
  void Accept();
  // Reads or writes what a ready connection allows; false when it ends.
  bool Handle(Connection& connection) noexcept;
  bool ReadFrom(Connection& connection);
  // Begins the reply to the next whole request pending, if any; false when the connection ends.
  bool StartReply(Connection& connection);
  // Sends what the connection takes now of its reply; false when it ends.
  bool SendTo(Connection& connection);
  // Ends a reply that has been sent whole: closes the connection or begins the next reply.
  bool Finish(Connection& connection);
  // The site file that answers a request target, empty for none.
  std::string FileFor(const std::string& target) const;

  std::string site_;
  std::string list_path_;
  std::size_t max_connections_;
  platform::ListeningSocket listener_;
  std::list<Connection> connections_;
  Clock::time_point accept_paused_until_{};
  std::size_t blocks_per_send_ = 1;  // blocks a connection is sent at most in this round
  std::string out_;                  // the bytes of one send, kept to reuse its room
};
