// IPv4 stream sockets and the socket library's start-up. Failures are reported with the socket
// library's error numbers as Windows numbers them (host not found is 11001, connection refused
// 10061) on every system, so that messages read the same everywhere. Every call may be made from
// any thread; a Socket object itself is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

inline constexpr int kSocketErrorInterrupted = 10004;
inline constexpr int kSocketErrorTimedOut = 10060;
inline constexpr int kSocketErrorConnectionRefused = 10061;
inline constexpr int kSocketErrorHostNotFound = 11001;
inline constexpr int kSocketErrorTryAgain = 11002;

// What the socket library reports at start-up: the version it will use and the highest it offers,
// each with the major number in the low byte.
struct SocketLibraryInfo {
  std::uint16_t version = 0;
  std::uint16_t high_version = 0;
};

// Starts the socket library asking for `version`; 0 on success, else an error number. Each success
// is paired with one CleanupSocketLibrary().
int StartSocketLibrary(std::uint16_t version, SocketLibraryInfo& info);
void CleanupSocketLibrary();

// The error number of the calling thread's last failed socket call.
int LastSocketError();

// A numeric IPv4 address ("127.0.0.1") as a 32-bit value in host byte order; false for any other
// text, which is then a name to resolve.
bool ParseIpv4Address(const std::string& text, std::uint32_t& address);

// The IPv4 addresses of a host name, in the order the resolver gives them (host byte order). Empty
// when the name does not resolve; LastSocketError() then tells why (kSocketErrorHostNotFound when
// the name does not exist).
std::vector<std::uint32_t> ResolveHost(const std::string& host);

// What a bounded wait on a socket saw.
enum class SocketWait {
  kReady,     // the awaited operation will not block (it may still fail)
  kTimedOut,  // nothing happened within the time
  kFailed,    // the wait itself or the connection failed; LastSocketError() tells why
};

struct SocketPoll;

// Owns one IPv4 stream socket; closing happens at the latest when the owner goes.
class Socket {
 public:
  Socket() = default;
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Opens a new socket (closing any held one); false on failure.
  bool Create();
  bool Connect(std::uint32_t address, std::uint16_t port);
  // Begins a connection without waiting for it and leaves the socket non-blocking, so that no
  // later call blocks either: wait with the calls below first. False when it failed at once.
  bool StartConnect(std::uint32_t address, std::uint16_t port);
  // After StartConnect: kReady once the connection is made, kFailed when it was refused.
  SocketWait WaitConnected(int timeout_milliseconds);
  // kReady when a Receive would return at once: bytes, the end of the stream or an error arrived.
  SocketWait WaitReadable(int timeout_milliseconds);
  // kReady when a Send would take at least one byte at once.
  SocketWait WaitWritable(int timeout_milliseconds);
  // The number of bytes sent, which may be fewer than asked; negative on failure. Sending to a
  // peer that has gone is a failure, never a signal that ends the process.
  long Send(const void* bytes, std::size_t size);
  // The number of bytes received, 0 when the peer closed the connection, negative on failure.
  long Receive(void* bytes, std::size_t size);
  // Receives fail with kSocketErrorTimedOut after this long without data (0: wait for ever).
  bool SetReceiveTimeout(int milliseconds);
  // Sends fail with kSocketErrorTimedOut after this long without room to send (0: for ever).
  bool SetSendTimeout(int milliseconds);
  // Sends and receives no longer wait: one that would fails with kSocketErrorTimedOut, so that
  // one thread can serve many connections from a WaitForAny. False on failure.
  bool SetNonBlocking();
  // Ends sending: the peer receives the end of the stream while this side can still receive.
  void ShutdownSend();
  void Close();
  bool IsOpen() const { return handle_ != kNone; }

 private:
  friend class ListeningSocket;
  using Handle = std::intptr_t;
  static constexpr Handle kNone = -1;
  friend int WaitForAny(std::vector<SocketPoll>& entries, int timeout_milliseconds);
  friend bool ConnectedPair(Socket& first, Socket& second);
  explicit Socket(Handle handle) : handle_(handle) {}

  Handle handle_ = kNone;
};

// A socket that accepts connections, for servers on the local machine (tests and tools).
class ListeningSocket {
 public:
  ListeningSocket() = default;
  ~ListeningSocket() { Close(); }
  ListeningSocket(const ListeningSocket&) = delete;
  ListeningSocket& operator=(const ListeningSocket&) = delete;

  // Listens on address:port (port 0 lets the system choose one), with room for `backlog`
  // connections that wait to be accepted (-1: as many as the system allows); false on failure.
  bool Listen(std::uint32_t address, std::uint16_t port, int backlog = -1);
  // The port actually listened on.
  std::uint16_t GetPort() const;
  // The next connection, or a closed Socket when none arrived within the time or on failure.
  Socket Accept(int timeout_milliseconds);
  void Close();
  // The listening socket itself, to wait for connections among other sockets (WaitForAny).
  const Socket& Waitable() const { return socket_; }

 private:
  Socket socket_;
};

// One socket of a WaitForAny and the direction awaited; `ready` tells the outcome.
struct SocketPoll {
  const Socket* socket = nullptr;
  bool write = false;  // room to send is awaited instead of bytes to receive
  bool ready = false;  // the call would not block now; an error or the peer's end count too
};

// Waits for many sockets at once, as a server's event loop does: until one of them is ready or
// the time has passed (-1: for ever). Returns how many are ready, 0 after the time, negative on
// failure (LastSocketError() tells why).
int WaitForAny(std::vector<SocketPoll>& entries, int timeout_milliseconds);

// Two ends of one local connection: a byte sent into one end makes the other ready, so another
// thread can wake a WaitForAny. False on failure.
bool ConnectedPair(Socket& first, Socket& second);

// 127.0.0.1 in host byte order.
inline constexpr std::uint32_t kLoopbackAddress = 0x7F000001;

}  // namespace platform
