#include "net/http_connection.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/exception.h"
#include "net/rate_cap.h"
#include "net/time_limits.h"

namespace {

using Clock = HttpConnection::Clock;
using platform::SocketWait;

// Every wait on the network is cut into slices this long, after each of which the abort is read:
// an abort asked for by another thread ends the request within one slice, whatever the request is
// waiting for.
constexpr auto kSlice = std::chrono::milliseconds(50);

Clock::time_point After(int milliseconds) {
  return Clock::now() + std::chrono::milliseconds(milliseconds);
}

// "30 s", or "700 ms" for a limit that is not a whole number of seconds.
std::tstring LimitText(int milliseconds) {
  return milliseconds % 1000 == 0 ? std::tstring::FormatNew("%d s", milliseconds / 1000)
                                  : std::tstring::FormatNew("%d ms", milliseconds);
}

RateFloor NewRateFloor() {
  return RateFloor(net_limits::Get().rate_window_milliseconds,
                   net_limits::kRateFloorBytesPerSecond);
}

// Waits with `wait` (one socket wait, given a time-out in milliseconds) in slices until it sees
// its event; kTimedOut once the deadline has passed. Throws the abort.
template <typename Wait>
SocketWait Await(Wait wait, Clock::time_point deadline, const HttpConnection::Caller& caller) {
  for (;;) {
    caller.ThrowIfAborted();
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return SocketWait::kTimedOut;
    const auto slice =
        std::chrono::ceil<std::chrono::milliseconds>(std::min<Clock::duration>(left, kSlice));
    const SocketWait result = wait(static_cast<int>(slice.count()));
    if (result != SocketWait::kTimedOut) return result;
  }
}

// A name lookup on a thread of its own. The resolver cannot be interrupted, so a request that is
// aborted or runs out of time leaves the lookup behind: its thread ends when the resolver
// returns, and the shared record goes with the last of the two owners.
struct Lookup {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::vector<std::uint32_t> addresses;
  int error = 0;
};

void RunLookup(Lookup& lookup, const std::string& host) {
  std::vector<std::uint32_t> addresses = platform::ResolveHost(host);
  // The error number belongs to the resolving thread; it travels with the result.
  const int error = addresses.empty() ? platform::LastSocketError() : 0;
  std::lock_guard<std::mutex> hold(lookup.mutex);
  lookup.addresses = std::move(addresses);
  lookup.error = error;
  lookup.done = true;
  lookup.finished.notify_all();
}

std::shared_ptr<Lookup> StartLookup(const std::tstring& host) {
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, name = std::string(host)] { RunLookup(*lookup, name); }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: the name is resolved here, and only this lookup cannot be abandoned.
    RunLookup(*lookup, host);
  }
  return lookup;
}

// Waits for the lookup in slices; false when the deadline passed first. Throws the abort.
bool AwaitLookup(Lookup& lookup, Clock::time_point deadline, const HttpConnection::Caller& caller) {
  std::unique_lock<std::mutex> hold(lookup.mutex);
  for (;;) {
    if (lookup.done) return true;
    if (caller.Aborted()) break;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    lookup.finished.wait_for(hold, std::min<Clock::duration>(deadline - now, kSlice));
  }
  hold.unlock();
  caller.ThrowIfAborted();
  return false;
}

}  // namespace

HttpClientException HttpConnection::NetworkFailure(const std::tstring& text) {
  return Caused(HttpClientException(text, true), ErrorCause::kNetwork);
}

void HttpConnection::Caller::ThrowIfAborted() const {
  if (Aborted()) throw HttpClientException("Abort by User.", false);
}

HttpConnection::HttpConnection(const std::tstring& host, int port, Caller& caller)
    : floor_(NewRateFloor()) {
  if (!socket_.Create()) Fail(Failing::kConnect, SocketFailure("socket create error : %d"), caller);
  const Clock::time_point deadline = After(caller.Limits().connect_milliseconds);
  std::uint32_t address = 0;
  const std::vector<std::uint32_t> addresses = platform::ParseIpv4Address(host, address)
                                                   ? std::vector<std::uint32_t>{address}
                                                   : Resolve(host, deadline, caller);
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    // A socket whose connection failed is not reliably reusable; each further address gets a new
    // one.
    if (i != 0 && !socket_.Create()) {
      Fail(Failing::kConnect, SocketFailure("socket create error : %d"), caller);
    }
    if (ConnectTo(addresses[i], port, deadline, caller)) return;
  }
  Fail(Failing::kConnect, SocketFailure("connect error : %d"), caller);
}

std::vector<std::uint32_t> HttpConnection::Resolve(const std::tstring& host,
                                                   Clock::time_point deadline, Caller& caller) {
  const std::shared_ptr<Lookup> lookup = StartLookup(host);
  if (!AwaitLookup(*lookup, deadline, caller)) FailConnectTimeOut(caller);
  // The lookup is done: its results no longer change.
  if (lookup->addresses.empty()) {
    if (lookup->error == platform::kSocketErrorHostNotFound) {
      Fail(Failing::kConnect, "host not found : " + host, caller);
    }
    throw NetworkFailure("unknown host error : " + host);
  }
  return lookup->addresses;
}

bool HttpConnection::ConnectTo(std::uint32_t address, int port, Clock::time_point deadline,
                               Caller& caller) {
  if (!socket_.StartConnect(address, static_cast<std::uint16_t>(port))) return false;
  const auto wait = [this](int ms) { return socket_.WaitConnected(ms); };
  switch (Await(wait, deadline, caller)) {
    case SocketWait::kReady:
      return true;
    case SocketWait::kFailed:
      return false;
    case SocketWait::kTimedOut:
      break;
  }
  FailConnectTimeOut(caller);
}

void HttpConnection::FailConnectTimeOut(Caller& caller) {
  Fail(Failing::kConnect,
       "connect error : no connection within " + LimitText(caller.Limits().connect_milliseconds) +
           ".",
       caller);
}

void HttpConnection::Fail(Failing failing, const std::tstring& text, Caller& caller) {
  caller.Announce(failing);
  throw NetworkFailure(text);
}

bool HttpConnection::Send(std::string_view text, bool may_fail, Caller& caller) {
  // A send may take only part of the text; the rest goes in further sends.
  const auto writable = [this](int ms) { return socket_.WaitWritable(ms); };
  for (std::size_t sent = 0; sent < text.size();) {
    if (Await(writable, After(caller.Limits().idle_milliseconds), caller) ==
        SocketWait::kTimedOut) {
      Fail(Failing::kSend, IdleFailure("request send error : nothing sent for ", caller), caller);
    }
    const long n = socket_.Send(text.data() + sent, text.size() - sent);
    if (n <= 0 && may_fail) return false;
    if (n <= 0) Fail(Failing::kSend, SocketFailure("request send error : %d"), caller);
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void HttpConnection::BeginReply() {
  floor_ = NewRateFloor();
  held_ = {};
}

bool HttpConnection::AwaitBytes(Caller& caller) {
  const auto wait = [this](int ms) { return socket_.WaitReadable(ms); };
  return Await(wait, After(caller.Limits().idle_milliseconds), caller) != SocketWait::kTimedOut;
}

long HttpConnection::Receive(std::uint8_t* buffer, std::size_t size, Caller& caller) {
  RateCap* cap = caller.Cap();
  if (cap != nullptr) size = AwaitCap(*cap, size, caller);
  const long n = socket_.Receive(buffer, size);
  const std::size_t received = n > 0 ? static_cast<std::size_t>(n) : 0;
  if (cap != nullptr) cap->GiveBack(size - received);
  if (n > 0 && !floor_.Add(received, Clock::now() - held_)) {
    throw NetworkFailure(std::tstring::FormatNew("transfer too slow : under %d bytes/s for ",
                                                 net_limits::kRateFloorBytesPerSecond) +
                         LimitText(net_limits::Get().rate_window_milliseconds) + ".");
  }
  return n;
}

// The time spent here is taken off the reply's clock for the rate floor: the server is not slow
// while this side holds its bytes back.
std::size_t HttpConnection::AwaitCap(RateCap& cap, std::size_t wanted, const Caller& caller) {
  for (;;) {
    const Clock::time_point now = Clock::now();
    const std::size_t granted = cap.Take(wanted, now);
    if (granted != 0) return granted;
    caller.ThrowIfAborted();
    std::this_thread::sleep_for(std::min<Clock::duration>(cap.Wait(wanted, now), kSlice));
    held_ += Clock::now() - now;
  }
}

bool HttpConnection::IsQuiet() { return socket_.WaitReadable(0) == SocketWait::kTimedOut; }

std::tstring HttpConnection::IdleFailure(const char* what, const Caller& caller) {
  return std::tstring(what) + LimitText(caller.Limits().idle_milliseconds) + ".";
}

std::tstring HttpConnection::SocketFailure(const char* format) {
  return std::tstring::FormatNew(format, platform::LastSocketError());
}
