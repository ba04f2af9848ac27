// Winsock 2 behind the socket interface. Its error numbers are the interface's numbers already;
// the one translation left is the would-block of a time-out.
#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <utility>

namespace platform {
namespace {

thread_local int last_error = 0;

// The one place where the library's codes become the interface's numbers: a send or receive that
// would block has run into its time-out, as on Linux.
int ToSocketErrorNumber(int code) { return code == WSAEWOULDBLOCK ? kSocketErrorTimedOut : code; }

// Records the failure of the call just made and passes its result on.
template <typename T>
T Failed(T result, int code) {
  last_error = ToSocketErrorNumber(code);
  return result;
}

template <typename T>
T Failed(T result) {
  return Failed(std::move(result), WSAGetLastError());
}

// Calls that need no start-up of their caller's (resolving, parsing, the tests' servers) work
// all the same: the library is started once for the process and never cleaned up. The callers'
// own start-ups and clean-ups pair on top of it.
void EnsureLibrary() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  static_cast<void>(started);
}

SOCKET AsSocket(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = htonl(address);
  return target;
}

timeval ToTimeval(int milliseconds) {
  timeval limit{};
  limit.tv_sec = milliseconds / 1000;
  limit.tv_usec = (milliseconds % 1000) * 1000;
  return limit;
}

enum class Wanted { kRead, kWrite, kConnect };

// Waits for one socket; a refused connection shows in the exception set on Windows.
SocketWait SelectFor(SOCKET socket, Wanted wanted, int timeout_milliseconds) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(socket, &ready);
  FD_SET(socket, &failed);
  timeval limit = ToTimeval(timeout_milliseconds);
  const int count = select(
      0, wanted == Wanted::kRead ? &ready : nullptr, wanted == Wanted::kRead ? nullptr : &ready,
      wanted == Wanted::kConnect ? &failed : nullptr, timeout_milliseconds < 0 ? nullptr : &limit);
  if (count == SOCKET_ERROR) return Failed(SocketWait::kFailed);
  if (count == 0) return SocketWait::kTimedOut;
  if (wanted == Wanted::kConnect && FD_ISSET(socket, &failed)) {
    int error = 0;
    int length = sizeof error;
    getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
    return Failed(SocketWait::kFailed, error != 0 ? error : WSAECONNREFUSED);
  }
  return SocketWait::kReady;
}

bool SetTimeout(SOCKET socket, int option, int milliseconds) {
  const DWORD limit = static_cast<DWORD>(milliseconds);
  if (setsockopt(socket, SOL_SOCKET, option, reinterpret_cast<const char*>(&limit), sizeof limit) !=
      0) {
    return Failed(false);
  }
  return true;
}

}  // namespace

int StartSocketLibrary(std::uint16_t version, SocketLibraryInfo& info) {
  WSADATA data;
  const int error = WSAStartup(version, &data);
  if (error != 0) return error;
  info.version = data.wVersion;
  info.high_version = data.wHighVersion;
  return 0;
}

void CleanupSocketLibrary() { WSACleanup(); }

int LastSocketError() { return last_error; }

bool ParseIpv4Address(const std::string& text, std::uint32_t& address) {
  EnsureLibrary();
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  address = ntohl(parsed.s_addr);
  return true;
}

std::vector<std::uint32_t> ResolveHost(const std::string& host) {
  EnsureLibrary();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (status != 0) return Failed(std::vector<std::uint32_t>{}, status);
  std::vector<std::uint32_t> addresses;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
    addresses.push_back(ntohl(ipv4->sin_addr.s_addr));
  }
  freeaddrinfo(found);
  return addresses;
}

bool Socket::Create() {
  EnsureLibrary();
  Close();
  // Not inheritable: programs started later inherit no socket of this process.
  const SOCKET socket = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (socket == INVALID_SOCKET) return Failed(false);
  handle_ = static_cast<Handle>(socket);
  return true;
}

bool Socket::Connect(std::uint32_t address, std::uint16_t port) {
  const sockaddr_in target = MakeAddress(address, port);
  if (connect(AsSocket(handle_), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    return Failed(false);
  }
  return true;
}

bool Socket::SetNonBlocking() {
  u_long non_blocking = 1;
  return ioctlsocket(AsSocket(handle_), FIONBIO, &non_blocking) == 0 || Failed(false);
}

bool Socket::StartConnect(std::uint32_t address, std::uint16_t port) {
  if (!SetNonBlocking()) return false;
  const sockaddr_in target = MakeAddress(address, port);
  if (connect(AsSocket(handle_), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0 &&
      WSAGetLastError() != WSAEWOULDBLOCK) {
    return Failed(false);
  }
  return true;
}

SocketWait Socket::WaitConnected(int timeout_milliseconds) {
  return SelectFor(AsSocket(handle_), Wanted::kConnect, timeout_milliseconds);
}

SocketWait Socket::WaitReadable(int timeout_milliseconds) {
  return SelectFor(AsSocket(handle_), Wanted::kRead, timeout_milliseconds);
}

SocketWait Socket::WaitWritable(int timeout_milliseconds) {
  return SelectFor(AsSocket(handle_), Wanted::kWrite, timeout_milliseconds);
}

long Socket::Send(const void* bytes, std::size_t size) {
  const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 30));
  const int sent = send(AsSocket(handle_), static_cast<const char*>(bytes), chunk, 0);
  return sent == SOCKET_ERROR ? Failed(-1L) : static_cast<long>(sent);
}

long Socket::Receive(void* bytes, std::size_t size) {
  const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 30));
  const int received = recv(AsSocket(handle_), static_cast<char*>(bytes), chunk, 0);
  return received == SOCKET_ERROR ? Failed(-1L) : static_cast<long>(received);
}

bool Socket::SetReceiveTimeout(int milliseconds) {
  return SetTimeout(AsSocket(handle_), SO_RCVTIMEO, milliseconds);
}

bool Socket::SetSendTimeout(int milliseconds) {
  return SetTimeout(AsSocket(handle_), SO_SNDTIMEO, milliseconds);
}

void Socket::ShutdownSend() { shutdown(AsSocket(handle_), SD_SEND); }

void Socket::Close() {
  if (handle_ == kNone) return;
  closesocket(AsSocket(handle_));
  handle_ = kNone;
}

bool ListeningSocket::Listen(std::uint32_t address, std::uint16_t port, int backlog) {
  if (!socket_.Create()) return false;
  const SOCKET socket = AsSocket(socket_.handle_);
  // No other program may take over the port while it is ours.
  const BOOL exclusive = TRUE;
  setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
             sizeof exclusive);
  const sockaddr_in local = MakeAddress(address, port);
  if (bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      listen(socket, backlog < 0 ? SOMAXCONN : backlog) != 0) {
    const int code = WSAGetLastError();
    socket_.Close();
    return Failed(false, code);
  }
  return true;
}

std::uint16_t ListeningSocket::GetPort() const {
  sockaddr_in local{};
  int length = sizeof local;
  if (getsockname(AsSocket(socket_.handle_), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return Failed(std::uint16_t{0});
  }
  return ntohs(local.sin_port);
}

Socket ListeningSocket::Accept(int timeout_milliseconds) {
  const SocketWait waited =
      SelectFor(AsSocket(socket_.handle_), Wanted::kRead, timeout_milliseconds);
  if (waited == SocketWait::kFailed) return Socket{};
  if (waited == SocketWait::kTimedOut) return Failed(Socket{}, WSAETIMEDOUT);
  const SOCKET connection = accept(AsSocket(socket_.handle_), nullptr, nullptr);
  if (connection == INVALID_SOCKET) return Failed(Socket{});
  // An accepted socket takes its listener's flags; it is not inherited either.
  SetHandleInformation(reinterpret_cast<HANDLE>(connection), HANDLE_FLAG_INHERIT, 0);
  return Socket(static_cast<std::intptr_t>(connection));
}

void ListeningSocket::Close() { socket_.Close(); }

int WaitForAny(std::vector<SocketPoll>& entries, int timeout_milliseconds) {
  std::vector<WSAPOLLFD> waiting(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    waiting[i].fd = AsSocket(entries[i].socket->handle_);
    waiting[i].events = entries[i].write ? POLLWRNORM : POLLRDNORM;
  }
  const int ready =
      WSAPoll(waiting.data(), static_cast<ULONG>(waiting.size()), timeout_milliseconds);
  if (ready == SOCKET_ERROR) return Failed(-1);
  for (std::size_t i = 0; i < entries.size(); ++i) entries[i].ready = waiting[i].revents != 0;
  return ready;
}

// Windows has no socketpair: a connection over the loopback to a listener of its own.
bool ConnectedPair(Socket& first, Socket& second) {
  ListeningSocket listener;
  if (!listener.Listen(kLoopbackAddress, 0, 1) || !first.Create() ||
      !first.Connect(kLoopbackAddress, listener.GetPort())) {
    return false;
  }
  second = listener.Accept(10000);
  return second.IsOpen();
}

}  // namespace platform
