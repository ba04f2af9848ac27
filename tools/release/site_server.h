// A small HTTP server for a release site, for local use and tests: it answers the URLs that the
// site's nginx configuration answers, each file whole or one byte range of it. An HTTP/1.0 request
// is answered once and its connection closed; an HTTP/1.1 connection is kept for further requests
// until it idles, asks to close or reaches a number of requests.
//
// One thread reads the requests of every connection as their bytes arrive, so a client that sends
// slowly or nothing at all holds a slot of that thread's wait, never a worker: its whole header
// must arrive within a time limit. A fixed pool of workers answers the requests read; a few more
// wait in a queue, and beyond that a request is answered "503 Service Unavailable". So the server
// never needs a thread it cannot have, and a client that stops reading holds a worker only until
// a time-out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "platform/socket.h"

class SiteServer {
 public:
  // site: the site folder (system form); list_path: the URL path of the list.
  SiteServer(std::string site, std::string list_path);

  // False when the address cannot be listened on.
  bool Listen(std::uint32_t address, std::uint16_t port);
  std::uint16_t GetPort() const { return listener_.GetPort(); }
  // Serves until the process ends.
  [[noreturn]] void Serve();

 private:
  using Clock = std::chrono::steady_clock;

  // A connection and what it has sent of requests not yet answered.
  struct Connection {
    platform::Socket socket;
    std::string pending;
    int served = 0;                // requests answered on it so far
    Clock::time_point deadline{};  // when the reading thread gives it up
  };

  // Starts up to the pool's size of workers; fewer when the system has no more threads to give.
  int StartWorkers();
  [[noreturn]] void Work();
  // One round of the reading thread: waits for the sockets, then accepts, reads and dispatches.
  void ReadRound(bool pooled);
  void Accept();
  // Reads what arrived on a waiting connection and dispatches a request that has come whole;
  // false when the connection waits here no more (dispatched, refused or closed).
  bool ReadFrom(Connection& connection, bool pooled);
  // Takes back the kept connections that the workers have finished answering.
  void TakeReturned();
  // Queues a connection whose next request has arrived; false when the queue is full.
  bool Enqueue(Connection& connection);
  // Hands a connection with no whole request pending back to the reading thread.
  void Return(Connection connection);
  // Answers the requests pending on a connection; hands it back when it is kept.
  void AnswerSafely(Connection connection) noexcept;
  // Answers every whole request pending; true when the connection is kept for more.
  bool Answer(Connection& connection) const;
  // The site file that answers a request target, empty for none.
  std::string FileFor(const std::string& target) const;

  std::string site_;
  std::string list_path_;
  platform::ListeningSocket listener_;
  // Wakes the reading thread when a worker hands a connection back.
  platform::Socket wake_, woken_;
  // Used by the reading thread only.
  std::list<Connection> waiting_;
  Clock::time_point accept_paused_until_{};

  std::mutex queue_mutex_;
  std::condition_variable queued_;
  std::deque<Connection> queue_;
  std::vector<Connection> returned_;
};
