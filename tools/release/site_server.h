// A small HTTP server for a release site, for local use and tests: it answers the URLs that the
// site's nginx configuration answers, each file whole or one byte range of it. An HTTP/1.0 request
// is answered once and its connection closed; an HTTP/1.1 connection is kept for further requests
// until it idles, asks to close or reaches a number of requests. A fixed pool of worker threads
// serves the connections; a few more wait in a queue, and beyond that a connection is answered
// "503 Service Unavailable" at once. So the server never needs a thread it cannot have, and a
// client that stops reading or sending holds a worker only until a time-out.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

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
  // Starts up to the pool's size of workers; fewer when the system has no more threads to give.
  int StartWorkers();
  [[noreturn]] void Work();
  // Queues a connection for the workers; false when the queue is full.
  bool Enqueue(platform::Socket& connection);
  // Serves up to max_requests requests of one connection, then closes it.
  void HandleSafely(platform::Socket connection, int max_requests) const noexcept;
  void Handle(platform::Socket connection, int max_requests) const;
  // The site file that answers a request target, empty for none.
  std::string FileFor(const std::string& target) const;

  std::string site_;
  std::string list_path_;
  platform::ListeningSocket listener_;
  std::mutex queue_mutex_;
  std::condition_variable queued_;
  std::deque<platform::Socket> queue_;
};
