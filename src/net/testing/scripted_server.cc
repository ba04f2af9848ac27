#include "net/testing/scripted_server.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>

namespace net_testing {
namespace {

constexpr int kPollMilliseconds = 50;
constexpr int kReceiveTimeoutMilliseconds = 10000;

bool SendAll(platform::Socket& connection, const std::string& bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const long n = connection.Send(bytes.data() + sent, bytes.size() - sent);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

ScriptedServer::ScriptedServer() {
  if (!listener_.Listen(platform::kLoopbackAddress, 0)) {
    throw std::runtime_error("scripted server: cannot listen");
  }
  port_ = listener_.GetPort();
  thread_ = std::thread([this] { Serve(); });
}

ScriptedServer::~ScriptedServer() {
  {
    std::lock_guard hold(mutex_);
    stop_ = true;
  }
  stopping_.notify_all();
  thread_.join();
}

bool ScriptedServer::Pause(int milliseconds) {
  std::unique_lock hold(mutex_);
  return !stopping_.wait_for(hold, std::chrono::milliseconds(milliseconds),
                             [this] { return stop_.load(); });
}

void ScriptedServer::SetReplies(std::vector<Reply> replies) {
  std::lock_guard hold(mutex_);
  reply_ = replies.back();
  replies.pop_back();
  queued_.assign(replies.begin(), replies.end());
}

void ScriptedServer::SetHandler(std::function<Reply(const std::string& request)> handler) {
  std::lock_guard hold(mutex_);
  handler_ = std::move(handler);
}

std::vector<std::string> ScriptedServer::GetRequests() {
  std::lock_guard hold(mutex_);
  return requests_;
}

// Each connection is answered on a thread of its own, so that a kept connection waiting for its
// next request never holds up another client's.
void ScriptedServer::Serve() {
  struct Answering {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
  };
  std::vector<Answering> answering;
  while (!stop_) {
    platform::Socket connection = listener_.Accept(kPollMilliseconds);
    // Threads that have answered are joined as the server goes on: a long-lived server (the fuzz
    // target's) would otherwise gather them until no thread could be made.
    std::erase_if(answering, [](Answering& each) {
      if (!*each.done) return false;
      each.thread.join();
      return true;
    });
    if (!connection.IsOpen()) continue;
    Answering& next = answering.emplace_back();
    next.thread = std::thread([this, done = next.done, taken = std::move(connection)]() mutable {
      Answer(taken);
      *done = true;
    });
  }
  for (Answering& each : answering) each.thread.join();
}

int ScriptedServer::GetConnectionCount() {
  std::lock_guard hold(mutex_);
  return connections_;
}

// Reads up to the empty line that ends a request (or until the peer stops sending), so that
// closing afterwards never discards unread bytes, which would reset the connection. The wait is
// polled, so that a kept connection the client leaves open never holds up the server's end.
std::string ScriptedServer::ReadRequest(platform::Socket& connection, std::string& pending) {
  char buffer[4096];
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kReceiveTimeoutMilliseconds);
  while (pending.find("\r\n\r\n") == std::string::npos && pending.size() < 65536 && !stop_ &&
         std::chrono::steady_clock::now() < deadline) {
    if (connection.WaitReadable(kPollMilliseconds) != platform::SocketWait::kReady) continue;
    const long n = connection.Receive(buffer, sizeof buffer);
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
  }
  // Requests sent one after another without waiting for the replies are answered one at a time.
  const std::size_t end = pending.find("\r\n\r\n");
  const std::size_t length = end == std::string::npos ? pending.size() : end + 4;
  std::string request = pending.substr(0, length);
  pending.erase(0, length);
  return request;
}

Reply ScriptedServer::NextReply(const std::string& request) {
  std::lock_guard hold(mutex_);
  requests_.push_back(request);
  if (handler_) return handler_(request);
  if (queued_.empty()) return reply_;
  Reply reply = std::move(queued_.front());
  queued_.pop_front();
  return reply;
}

void ScriptedServer::Answer(platform::Socket& connection) {
  {
    std::lock_guard hold(mutex_);
    ++connections_;
  }
  std::string pending;
  for (bool first = true; !stop_; first = false) {
    const std::string request = ReadRequest(connection, pending);
    // A kept connection that the client closes asks for nothing more.
    if (!first && request.empty()) break;
    const Reply reply = NextReply(request);
    bool sent = true;
    for (std::size_t i = 0; i < reply.pieces.size() && sent && !stop_; ++i) {
      if (i != 0 && reply.pause_ms > 0 && !Pause(reply.pause_ms)) break;
      sent = SendAll(connection, reply.pieces[i]);
    }
    if (!reply.keep_open || !sent) break;
  }
  connection.ShutdownSend();
}

UnansweredListener::UnansweredListener() {
  if (!listener_.Listen(platform::kLoopbackAddress, 0, 0)) {
    throw std::runtime_error("unanswered listener: cannot listen");
  }
  // Fill the queue until a connection is left hanging: from then on every new one hangs too.
  for (int i = 0; i < 64; ++i) {
    platform::Socket& socket = queued_.emplace_back();
    if (!socket.Create() || !socket.StartConnect(platform::kLoopbackAddress, GetPort())) break;
    if (socket.WaitConnected(200) == platform::SocketWait::kTimedOut) return;
  }
  throw std::runtime_error("unanswered listener: every connection was taken");
}

std::uint16_t FindFreePort() {
  platform::ListeningSocket probe;
  if (!probe.Listen(platform::kLoopbackAddress, 0)) throw std::runtime_error("no free port");
  return probe.GetPort();
}

}  // namespace net_testing
