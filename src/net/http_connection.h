// One TCP connection to an HTTP server or proxy: the name lookup on a thread of its own,
// connecting within the connect limit, sending and receiving within the idle limit, the rate floor
// of each reply, and the rate cap its caller shares with other callers (net/time_limits.h holds the
// limits). Every wait is cut into 50 ms slices that read the caller's abort, so an abort ends any
// of them within a slice. Failures throw HttpClientException with the client's texts; a connect or
// send failure is announced to the caller first, for its hook.
//
// A connection is used by one caller at a time, which passes itself to every call; between two
// requests it may pass to another caller, and so to another thread, through a ConnectionPool.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/exception.h"
#include "base/tstring.h"
#include "net/rate_floor.h"
#include "net/time_limits.h"
#include "platform/socket.h"

class RateCap;

class HttpConnection {
 public:
  using Clock = std::chrono::steady_clock;

  // The failures a caller's hook hears of before they are thrown.
  enum class Failing { kConnect, kSend };

  // The request that uses a connection: what aborts it, the cap its receives share, and where its
  // announcements go. Called on the request's thread.
  class Caller {
   public:
    virtual bool Aborted() const = 0;
    // None: the receives are not capped.
    virtual RateCap* Cap() const = 0;
    virtual void Announce(Failing failing) = 0;
    // The connect and idle limits of its waits.
    virtual const net_limits::Limits& Limits() const = 0;
    // Throws "Abort by User." (marked as no error) once Aborted().
    void ThrowIfAborted() const;

   protected:
    ~Caller() = default;
  };

  // Connects to host:port (a numeric IPv4 address, or a name to resolve) within the connect limit.
  HttpConnection(const std::tstring& host, int port, Caller& caller);
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  // Sends the whole text, failing after the idle limit without a byte sent. With may_fail, a
  // failed send returns false instead of throwing: the connection was a kept one the server closed.
  bool Send(std::string_view text, bool may_fail, Caller& caller);
  // A reply begins: its rate floor starts again.
  void BeginReply();
  // Waits until bytes (or the end of the stream) can be received; false after the idle limit.
  bool AwaitBytes(Caller& caller);
  // One receive of at most size bytes, after waiting for the cap, which may allow fewer: the
  // socket's result (0 at the end, negative on failure). Throws when the reply has fallen below the
  // rate floor; the time held back by the cap is not counted against the server.
  long Receive(std::uint8_t* buffer, std::size_t size, Caller& caller);
  // Nothing waits to be received. Between two requests a server sends nothing: bytes waiting are
  // no reply of ours, and an end waiting means the server has closed the connection.
  bool IsQuiet();

  // what + the caller's idle limit + ".", the text of a wait that ran into it.
  static std::tstring IdleFailure(const char* what, const Caller& caller);
  // format with its one %d filled in with this thread's last socket error.
  static std::tstring SocketFailure(const char* format);
  // The failure of a connection that could not be made or kept: the network's, whatever the
  // server.
  static HttpClientException NetworkFailure(const std::tstring& text);

 private:
  [[noreturn]] static void Fail(Failing failing, const std::tstring& text, Caller& caller);
  [[noreturn]] static void FailConnectTimeOut(Caller& caller);
  static std::vector<std::uint32_t> Resolve(const std::tstring& host, Clock::time_point deadline,
                                            Caller& caller);
  bool ConnectTo(std::uint32_t address, int port, Clock::time_point deadline, Caller& caller);
  std::size_t AwaitCap(RateCap& cap, std::size_t wanted, const Caller& caller);

  platform::Socket socket_;
  RateFloor floor_;
  // How long the current reply was held back by the rate cap.
  Clock::duration held_{};
};
