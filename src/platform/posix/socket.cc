// BSD sockets behind the socket interface. The socket library needs no start-up here; it reports
// version 2.0 as the Windows library does when asked for it.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

namespace platform {
namespace {

thread_local int last_error = 0;

struct ErrorNumber {
  int code;
  int number;
};

// errno values (positive) and resolver EAI_* codes (negative in glibc) with their numbers.
constexpr ErrorNumber kErrorNumbers[] = {
    {EINTR, 10004},
    {EBADF, 10009},
    {EACCES, 10013},
    {EFAULT, 10014},
    {EINVAL, 10022},
    {EMFILE, 10024},
    {ENFILE, 10024},
    {EAGAIN, 10035},
    {EINPROGRESS, 10036},
    {EALREADY, 10037},
    {ENOTSOCK, 10038},
    {EMSGSIZE, 10040},
    {EPROTONOSUPPORT, 10043},
    {EOPNOTSUPP, 10045},
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ENETRESET, 10052},
    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},
    {EPIPE, 10054},
    {ENOBUFS, 10055},
    {ENOMEM, 10055},
    {EISCONN, 10056},
    {ENOTCONN, 10057},
    {ETIMEDOUT, kSocketErrorTimedOut},
    {ECONNREFUSED, kSocketErrorConnectionRefused},
    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
    {EAI_NONAME, kSocketErrorHostNotFound},
    {EAI_AGAIN, kSocketErrorTryAgain},
    {EAI_FAIL, 11003},
    {EAI_NODATA, 11004},
    {EAI_ADDRFAMILY, 11004},
    {EAI_MEMORY, 10055},
};

// The one place where the system's codes become the socket library's numbers. A code without a
// counterpart is passed on as it is.
int ToSocketErrorNumber(int code) {
  if (code == EAI_SYSTEM) code = errno;
  for (const ErrorNumber& entry : kErrorNumbers) {
    if (entry.code == code) return entry.number;
  }
  return code;
}

// Records the failure of the call just made and passes its result on.
template <typename T>
T Failed(T result, int code) {
  last_error = ToSocketErrorNumber(code);
  return result;
}

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

// Polls one descriptor for `events`; an interrupted poll counts as "nothing yet", the caller's
// loop waits again.
SocketWait PollFor(int fd, short events, int timeout_milliseconds) {
  pollfd waiting{fd, events, 0};
  const int ready = poll(&waiting, 1, timeout_milliseconds);
  if (ready < 0) return errno == EINTR ? SocketWait::kTimedOut : Failed(SocketWait::kFailed, errno);
  return ready == 0 ? SocketWait::kTimedOut : SocketWait::kReady;
}

}  // namespace

int StartSocketLibrary(std::uint16_t version, SocketLibraryInfo& info) {
  info.version = version;
  info.high_version = version;
  return 0;
}

void CleanupSocketLibrary() {}

int LastSocketError() { return last_error; }

bool ParseIpv4Address(const std::string& text, std::uint32_t& address) {
  in_addr parsed{};
  if (inet_aton(text.c_str(), &parsed) == 0) return false;
  address = ntohl(parsed.s_addr);
  return true;
}

std::vector<std::uint32_t> ResolveHost(const std::string& host) {
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
  Close();
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Failed(false, errno);
  handle_ = fd;
  return true;
}

bool Socket::Connect(std::uint32_t address, std::uint16_t port) {
  const sockaddr_in target = MakeAddress(address, port);
  if (connect(static_cast<int>(handle_), reinterpret_cast<const sockaddr*>(&target),
              sizeof target) != 0) {
    return Failed(false, errno);
  }
  return true;
}

bool Socket::SetNonBlocking() {
  const int fd = static_cast<int>(handle_);
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return Failed(false, errno);
  return true;
}

bool Socket::StartConnect(std::uint32_t address, std::uint16_t port) {
  const int fd = static_cast<int>(handle_);
  if (!SetNonBlocking()) return false;
  const sockaddr_in target = MakeAddress(address, port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0 &&
      errno != EINPROGRESS) {
    return Failed(false, errno);
  }
  return true;
}

SocketWait Socket::WaitConnected(int timeout_milliseconds) {
  const int fd = static_cast<int>(handle_);
  const SocketWait result = PollFor(fd, POLLOUT, timeout_milliseconds);
  if (result != SocketWait::kReady) return result;
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  return error == 0 ? SocketWait::kReady : Failed(SocketWait::kFailed, error);
}

SocketWait Socket::WaitReadable(int timeout_milliseconds) {
  return PollFor(static_cast<int>(handle_), POLLIN, timeout_milliseconds);
}

SocketWait Socket::WaitWritable(int timeout_milliseconds) {
  return PollFor(static_cast<int>(handle_), POLLOUT, timeout_milliseconds);
}

long Socket::Send(const void* bytes, std::size_t size) {
  for (;;) {
    const ssize_t sent = send(static_cast<int>(handle_), bytes, size, MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<long>(sent);
    // A send time-out shows as EAGAIN on a blocking socket.
    if (errno == EAGAIN) return Failed(-1L, ETIMEDOUT);
    if (errno != EINTR) return Failed(-1L, errno);
  }
}

long Socket::Receive(void* bytes, std::size_t size) {
  for (;;) {
    const ssize_t received = recv(static_cast<int>(handle_), bytes, size, 0);
    if (received >= 0) return static_cast<long>(received);
    // A receive time-out shows as EAGAIN on a blocking socket.
    if (errno == EAGAIN) return Failed(-1L, ETIMEDOUT);
    if (errno != EINTR) return Failed(-1L, errno);
  }
}

bool Socket::SetReceiveTimeout(int milliseconds) {
  const timeval limit = ToTimeval(milliseconds);
  if (setsockopt(static_cast<int>(handle_), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
    return Failed(false, errno);
  }
  return true;
}

bool Socket::SetSendTimeout(int milliseconds) {
  const timeval limit = ToTimeval(milliseconds);
  if (setsockopt(static_cast<int>(handle_), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
    return Failed(false, errno);
  }
  return true;
}

void Socket::ShutdownSend() { shutdown(static_cast<int>(handle_), SHUT_WR); }

void Socket::Close() {
  if (handle_ == kNone) return;
  close(static_cast<int>(handle_));
  handle_ = kNone;
}

bool ListeningSocket::Listen(std::uint32_t address, std::uint16_t port, int backlog) {
  if (!socket_.Create()) return false;
  const int fd = static_cast<int>(socket_.handle_);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in local = MakeAddress(address, port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      listen(fd, backlog < 0 ? SOMAXCONN : backlog) != 0) {
    const int code = errno;
    socket_.Close();
    return Failed(false, code);
  }
  return true;
}

std::uint16_t ListeningSocket::GetPort() const {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (getsockname(static_cast<int>(socket_.handle_), reinterpret_cast<sockaddr*>(&local),
                  &length) != 0) {
    return Failed(std::uint16_t{0}, errno);
  }
  return ntohs(local.sin_port);
}

Socket ListeningSocket::Accept(int timeout_milliseconds) {
  const int fd = static_cast<int>(socket_.handle_);
  pollfd waiting{fd, POLLIN, 0};
  const int ready = poll(&waiting, 1, timeout_milliseconds);
  if (ready < 0) return Failed(Socket{}, errno);
  if (ready == 0) return Failed(Socket{}, ETIMEDOUT);
  const int connection = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (connection < 0) return Failed(Socket{}, errno);
  return Socket(connection);
}

void ListeningSocket::Close() { socket_.Close(); }

int WaitForAny(std::vector<SocketPoll>& entries, int timeout_milliseconds) {
  std::vector<pollfd> waiting(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const short events = entries[i].write ? POLLOUT : POLLIN;
    waiting[i] = {static_cast<int>(entries[i].socket->handle_), events, 0};
  }
  const int ready = poll(waiting.data(), waiting.size(), timeout_milliseconds);
  // An interrupted poll counts as "nothing yet": the caller's loop waits again.
  if (ready < 0) return errno == EINTR ? 0 : Failed(-1, errno);
  for (std::size_t i = 0; i < entries.size(); ++i) entries[i].ready = waiting[i].revents != 0;
  return ready;
}

bool ConnectedPair(Socket& first, Socket& second) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return Failed(false, errno);
  first = Socket(ends[0]);
  second = Socket(ends[1]);
  return true;
}

}  // namespace platform
