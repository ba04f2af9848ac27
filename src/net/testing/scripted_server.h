// An HTTP server on 127.0.0.1 that plays a scripted reply, for the replies no real server sends:
// cut-off headers, bare line feeds, lying lengths, slow bodies. It serves each connection on a
// thread of its own until it is destroyed; every wait in it is bounded.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace net_testing {

struct Reply {
  // Sent one after the other, with `pause_ms` before each piece after the first. A pause ends
  // early when the server goes, so kSilent makes a server that stops talking at that point.
  std::vector<std::string> pieces;
  int pause_ms = 0;
  // The connection stays open after this reply, and its next request gets the next reply.
  bool keep_open = false;
};

inline constexpr int kSilent = 3600 * 1000;

class ScriptedServer {
 public:
  ScriptedServer();
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  std::uint16_t GetPort() const { return port_; }
  // One reply per request from now on, in order; the last one answers every later request too.
  void SetReplies(std::vector<Reply> replies);
  // Answers every request from now on with what the handler makes of its bytes, on the server's
  // thread.
  void SetHandler(std::function<Reply(const std::string& request)> handler);
  // The bytes of every request so far, up to and including the empty line.
  std::vector<std::string> GetRequests();
  // The connections accepted so far.
  int GetConnectionCount();

 private:
  void Serve();
  void Answer(platform::Socket& connection);
  // The next request's bytes, or what came of them before the peer stopped sending, the server
  // went or the time ran out. `pending` holds the connection's bytes received beyond the request.
  std::string ReadRequest(platform::Socket& connection, std::string& pending);
  Reply NextReply(const std::string& request);
  // Waits, false when the server is being destroyed.
  bool Pause(int milliseconds);

  platform::ListeningSocket listener_;
  std::uint16_t port_ = 0;
  std::mutex mutex_;
  std::deque<Reply> queued_;
  std::function<Reply(const std::string& request)> handler_;
  Reply reply_;
  std::vector<std::string> requests_;
  int connections_ = 0;
  std::atomic<bool> stop_ = false;
  std::condition_variable stopping_;
  std::thread thread_;
};

// A listener that never accepts and whose queue of waiting connections is full, so that a
// connection to it is neither made nor refused: the peer's SYN goes unanswered.
class UnansweredListener {
 public:
  UnansweredListener();
  std::uint16_t GetPort() const { return listener_.GetPort(); }

 private:
  platform::ListeningSocket listener_;
  std::vector<platform::Socket> queued_;
};

// A port on 127.0.0.1 that nothing listened on a moment ago, for servers started by tests.
std::uint16_t FindFreePort();

}  // namespace net_testing
