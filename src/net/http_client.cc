#include "net/http_client.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/exception.h"
#include "net/http_reply.h"
#include "net/rate_floor.h"
#include "net/time_limits.h"
#include "platform/socket.h"
#include "res/historical_messages.h"

namespace {

using Clock = std::chrono::steady_clock;
using platform::SocketWait;

// Every wait on the network is cut into slices this long, after each of which the abort flag is
// read: an abort asked for by another thread ends the request within one slice, whatever the
// request is waiting for.
constexpr auto kSlice = std::chrono::milliseconds(50);

// Body and header bytes are received in blocks of this size; abort is also checked once per block.
constexpr std::size_t kBlockSize = 64 * 1024;

// Holds the body in the client's document buffer. The buffer grows with the bytes that really
// arrive (geometrically, not once per block) and never beyond an announced length, so a server
// that announces gigabytes and sends a few bytes costs a few bytes.
class MemorySink : public IHttpBodySink {
 public:
  MemorySink(std::vector<std::uint8_t>& document, bool& held) : document_(document), held_(held) {}
  void OnBegin(bool announced, std::uint32_t length) override {
    document_.clear();
    limit_ = announced ? length : std::numeric_limits<std::uint32_t>::max();
    document_.reserve(std::min<std::size_t>(limit_, kFirstReservation));
  }
  void OnData(const std::uint8_t* bytes, std::size_t size) override {
    const std::size_t needed = document_.size() + size;
    if (needed > document_.capacity()) {
      document_.reserve(std::min<std::size_t>(std::max(needed, document_.capacity() * 2), limit_));
    }
    document_.insert(document_.end(), bytes, bytes + size);
  }
  void OnEnd(std::uint32_t) override { held_ = true; }

 private:
  static constexpr std::size_t kFirstReservation = 1024 * 1024;

  std::vector<std::uint8_t>& document_;
  bool& held_;
  std::size_t limit_ = 0;
};

// strtol's reading of a number: blanks, an optional sign, the digits up to the first other
// character (none gives 0). False when the value does not fit in 32 bits.
bool ParseSigned(const std::tstring& text, int& value) {
  std::size_t pos = text.find_first_not_of(" \t\n\v\f\r");
  if (pos == std::string::npos) pos = text.size();
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
  std::int64_t number = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    number = number * 10 + (text[pos] - '0');
    if (number > std::int64_t{std::numeric_limits<int>::max()} + 1) return false;
  }
  number = negative ? -number : number;
  if (number > std::numeric_limits<int>::max()) return false;
  value = static_cast<int>(number);
  return true;
}

bool IsPort(int port) { return port > 0 && port <= 65535; }

std::tstring ErrorText(const char* format) {
  return std::tstring::FormatNew(format, platform::LastSocketError());
}

// The client's abort flag or its stop token, whichever is raised.
struct AbortSignal {
  const std::atomic<bool>& flag;
  const std::stop_token& stop;
  bool Raised() const { return flag || stop.stop_requested(); }
};

void ThrowIfAborted(const AbortSignal& abort) {
  if (abort.Raised()) throw HttpClientException("Abort by User.", false);
}

Clock::time_point After(int milliseconds) {
  return Clock::now() + std::chrono::milliseconds(milliseconds);
}

// "30 s", or "700 ms" for a limit that is not a whole number of seconds.
std::tstring LimitText(int milliseconds) {
  return milliseconds % 1000 == 0 ? std::tstring::FormatNew("%d s", milliseconds / 1000)
                                  : std::tstring::FormatNew("%d ms", milliseconds);
}

// Waits with `wait` (one socket wait, given a time-out in milliseconds) in slices until it sees
// its event; kTimedOut once the deadline has passed. Throws the abort.
template <typename Wait>
SocketWait Await(Wait wait, Clock::time_point deadline, const AbortSignal& abort) {
  for (;;) {
    ThrowIfAborted(abort);
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
bool AwaitLookup(Lookup& lookup, Clock::time_point deadline, const AbortSignal& abort) {
  std::unique_lock<std::mutex> hold(lookup.mutex);
  for (;;) {
    if (lookup.done) return true;
    if (abort.Raised()) break;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    lookup.finished.wait_for(hold, std::min<Clock::duration>(deadline - now, kSlice));
  }
  hold.unlock();
  ThrowIfAborted(abort);
  return false;
}

// Leaves a lock for a scope and takes it again afterwards, even when the scope throws.
class Unlocked {
 public:
  explicit Unlocked(CriticalSection& lock) : lock_(lock) { lock_.Leave(); }
  ~Unlocked() noexcept(false) { lock_.Enter(); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  CriticalSection& lock_;
};

RateFloor NewRateFloor() {
  return RateFloor(net_limits::Get().rate_window_milliseconds,
                   net_limits::kRateFloorBytesPerSecond);
}

}  // namespace

struct HttpClient::Connection {
  platform::Socket socket;
  std::tstring host;  // the URL's host, or the proxy's
  int port = 80;
  std::tstring target;  // the path, or the whole URL for a proxy
  // The rate of the reply being received; a new one for each request.
  RateFloor floor = NewRateFloor();
};

HttpClient::HttpClient() = default;

HttpClient::~HttpClient() noexcept(false) {
  // In the order a request takes them: the hook runs under the settings lock and reads the sizes.
  CriticalSectionLock settings(settings_lock_);
  CriticalSectionLock hook(hook_lock_);
  CriticalSectionLock data(data_lock_);
  document_ = {};
  has_document_ = false;
  length_ = received_ = 0;
}

void HttpClient::SetProxy(const std::tstring& text) {
  CriticalSectionLock hold(settings_lock_);
  proxy_enabled_ = false;
  proxy_host_.clear();
  proxy_port_ = 80;
  if (text.empty()) return;
  const std::size_t colon = text.rfind(':');
  int port = 0;
  // A port the connection cannot use is refused here rather than cut to 16 bits later, which
  // would reach some other port.
  if (colon == std::string::npos || !ParseSigned(text.substr(colon + 1), port) || !IsPort(port)) {
    throw HttpClientException("プロキシ設定のエラー\r\n" + text, true);
  }
  proxy_host_ = text.substr(0, colon);
  proxy_port_ = port;
  proxy_enabled_ = true;
}

void HttpClient::SetUserAgent(const std::tstring& text) {
  CriticalSectionLock hold(settings_lock_);
  user_agent_ = text;
}

void HttpClient::SetDirectPort(int port) {
  CriticalSectionLock hold(settings_lock_);
  if (!IsPort(port))
    throw HttpClientException(std::tstring::FormatNew("bad port : %d", port), true);
  direct_port_ = port;
}

void HttpClient::SetHook(Hook hook, std::uintptr_t user) {
  CriticalSectionLock hold(hook_lock_);
  hook_ = hook;
  hook_user_ = user;
}

int HttpClient::Request(std::tstring url) {
  MemorySink sink(document_, has_document_);
  return Run(url, sink, false);
}

int HttpClient::Request(std::tstring url, IHttpBodySink& sink) { return Run(url, sink, true); }

std::uint32_t HttpClient::GetDataSize() {
  CriticalSectionLock hold(data_lock_);
  return length_;
}

std::uint32_t HttpClient::GetReceivedSize() {
  CriticalSectionLock hold(data_lock_);
  return received_;
}

void HttpClient::ReadData(std::uint32_t size, void* destination) {
  CriticalSectionLock hold(data_lock_);
  if (!has_document_) throw HttpClientException("ReadData error : RecvBuffer is NULL.", true);
  if (destination == nullptr) throw HttpClientException("ReadData error : pDst is NULL.", true);
  if (size > received_ || size > length_) {
    throw HttpClientException("ReadData error : read size over.", true);
  }
  if (size != 0) std::memcpy(destination, document_.data(), size);
}

// Every failure closes the connection and drops the document; the caller sees a plain Exception
// with the same text and mark, or "File Download Error." for anything outside the family.
int HttpClient::Run(const std::tstring& url, IHttpBodySink& sink, bool require_whole) {
  CriticalSectionLock settings(settings_lock_);
  Connection connection;
  try {
    DropDocument();
    Notify(kStepBegun);
    SplitUrl(url, connection);
    Connect(connection);
    SendRequest(connection, RequestText(connection), false);
    std::vector<std::uint8_t> buffer(kBlockSize);
    {
      CriticalSectionLock data(data_lock_);
      const std::string first_block = *ReceiveHeader(connection, buffer, false);
      ReceiveBody(connection, buffer, first_block, sink, require_whole);
    }
    Notify(kStepClosing);
    connection.socket.Close();
    Notify(kStepClosed);
    return 0;
  } catch (const Exception& failure) {
    connection.socket.Close();
    DropDocument();
    throw Exception(failure);
  } catch (...) {
    connection.socket.Close();
    DropDocument();
    throw Exception("File Download Error.", true);
  }
}

void HttpClient::DropDocument() {
  CriticalSectionLock hold(data_lock_);
  document_ = {};
  has_document_ = false;
  announced_ = false;
  length_ = received_ = 0;
}

void HttpClient::SplitUrl(const std::tstring& url, Connection& connection) {
  std::size_t host_start = 0;
  const std::size_t scheme_end = url.find("://");
  if (scheme_end != std::string::npos) {
    if (url.compare(0, scheme_end, "http") != 0) Fail(kStepUrlRefused, "not http query : " + url);
    host_start = scheme_end + 3;
  }
  const std::size_t slash = url.find('/', host_start);
  // Without a path there is nothing to ask for.
  if (slash == std::string::npos) throw Exception("File Download Error.", true);
  host_ = url.substr(host_start, slash - host_start);
  path_ = url.substr(slash);
  // A proxy reaches a server whose URL names no port on HTTP's own port; the other default is for
  // direct connections only.
  port_ = proxy_enabled_ ? 80 : direct_port_;
  // A server on another port than 80 is named as "host:port"; without reading it, such a URL
  // would send the whole text to the resolver as a host name.
  const std::size_t colon = host_.rfind(':');
  if (colon != std::string::npos && colon + 1 < host_.size() &&
      host_.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
    int port = 0;
    if (!ParseSigned(host_.substr(colon + 1), port) || !IsPort(port)) {
      throw Exception("File Download Error.", true);
    }
    port_ = port;
    host_.erase(colon);
  }
  if (proxy_enabled_) {
    connection = {{}, proxy_host_, proxy_port_, url};
  } else {
    connection = {{}, host_, port_, path_};
  }
}

void HttpClient::Connect(Connection& connection) {
  Notify(kStepCreatingSocket);
  if (!connection.socket.Create()) Fail(kStepConnectFailed, ErrorText("socket create error : %d"));
  const Clock::time_point deadline = After(net_limits::Get().connect_milliseconds);
  std::uint32_t address = 0;
  const std::vector<std::uint32_t> addresses = platform::ParseIpv4Address(connection.host, address)
                                                   ? std::vector<std::uint32_t>{address}
                                                   : Resolve(connection.host, deadline);
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    // A socket whose connection failed is not reliably reusable; each further address gets a new
    // one.
    if (i != 0 && !connection.socket.Create()) {
      Fail(kStepConnectFailed, ErrorText("socket create error : %d"));
    }
    if (ConnectTo(connection, addresses[i], deadline)) {
      Notify(kStepConnected);
      return;
    }
  }
  Fail(kStepConnectFailed, ErrorText("connect error : %d"));
}

std::vector<std::uint32_t> HttpClient::Resolve(const std::tstring& host,
                                               std::chrono::steady_clock::time_point deadline) {
  const std::shared_ptr<Lookup> lookup = StartLookup(host);
  if (!AwaitLookup(*lookup, deadline, {abort_, stop_})) FailConnectTimeOut();
  // The lookup is done: its results no longer change.
  if (lookup->addresses.empty()) {
    if (lookup->error == platform::kSocketErrorHostNotFound) {
      Fail(kStepConnectFailed, "host not found : " + host);
    }
    throw HttpClientException("unknown host error : " + host, true);
  }
  return lookup->addresses;
}

bool HttpClient::ConnectTo(Connection& connection, std::uint32_t address,
                           std::chrono::steady_clock::time_point deadline) {
  if (!connection.socket.StartConnect(address, static_cast<std::uint16_t>(connection.port))) {
    return false;
  }
  const auto wait = [&connection](int ms) { return connection.socket.WaitConnected(ms); };
  switch (Await(wait, deadline, {abort_, stop_})) {
    case SocketWait::kReady:
      return true;
    case SocketWait::kFailed:
      return false;
    case SocketWait::kTimedOut:
      break;
  }
  FailConnectTimeOut();
}

void HttpClient::FailConnectTimeOut() {
  Fail(kStepConnectFailed, "connect error : no connection within " +
                               LimitText(net_limits::Get().connect_milliseconds) + ".");
}

bool HttpClient::AwaitBytes(Connection& connection) {
  const auto wait = [&connection](int ms) { return connection.socket.WaitReadable(ms); };
  return Await(wait, After(net_limits::Get().idle_milliseconds), {abort_, stop_}) !=
         SocketWait::kTimedOut;
}

long HttpClient::Receive(Connection& connection, std::uint8_t* buffer, std::size_t size) {
  const long n = connection.socket.Receive(buffer, size);
  if (n > 0 && !connection.floor.Add(static_cast<std::size_t>(n), Clock::now())) {
    throw HttpClientException(std::tstring::FormatNew("transfer too slow : under %d bytes/s for ",
                                                      net_limits::kRateFloorBytesPerSecond) +
                                  LimitText(net_limits::Get().rate_window_milliseconds) + ".",
                              true);
  }
  return n;
}

std::tstring HttpClient::IdleText(const char* what) {
  return std::tstring(what) + LimitText(net_limits::Get().idle_milliseconds) + ".";
}

std::tstring HttpClient::RequestText(const Connection& connection) const {
  return "GET " + connection.target + " HTTP/1.0\r\n" + "Host: " + connection.host + "\r\n" +
         "User-Agent: " + user_agent_ + "\r\n" + "Content-Type: text/html; charset=UTF-8\r\n" +
         "\r\n";
}

// Host names the document's server even through a proxy, as HTTP/1.1 requires.
std::tstring HttpClient::RangeRequestText(const Connection& connection, std::uint64_t first,
                                          std::uint64_t last) const {
  const std::tstring host = port_ == 80 ? host_ : std::tstring(host_ + ":" + std::to_string(port_));
  return "GET " + connection.target + " HTTP/1.1\r\n" + "Host: " + host + "\r\n" +
         "User-Agent: " + user_agent_ + "\r\n" + "Range: bytes=" + std::to_string(first) + "-" +
         std::to_string(last) + "\r\n" + "\r\n";
}

bool HttpClient::SendRequest(Connection& connection, const std::tstring& text, bool may_retry) {
  Notify(kStepSending);
  // A send may take only part of the text; the rest goes in further sends.
  const auto writable = [&connection](int ms) { return connection.socket.WaitWritable(ms); };
  for (std::size_t sent = 0; sent < text.size();) {
    if (Await(writable, After(net_limits::Get().idle_milliseconds), {abort_, stop_}) ==
        SocketWait::kTimedOut) {
      Fail(kStepSendFailed, IdleText("request send error : nothing sent for "));
    }
    const long n = connection.socket.Send(text.data() + sent, text.size() - sent);
    if (n <= 0 && may_retry) return false;
    if (n <= 0) Fail(kStepSendFailed, ErrorText("request send error : %d"));
    sent += static_cast<std::size_t>(n);
  }
  Notify(kStepSent);
  Notify(kStepAfterSent);
  Notify(kStepReceivingHeader);
  return true;
}

std::optional<std::string> HttpClient::ReceiveHeader(Connection& connection,
                                                     std::vector<std::uint8_t>& buffer,
                                                     bool may_retry) {
  header_lines_.clear();
  connection.floor = NewRateFloor();
  http_reply::HeaderCollector collector;
  for (bool first = true;; first = false) {
    if (!AwaitBytes(connection)) {
      Fail(kStepHeaderReceiveFailed, IdleText("header recv error : nothing received for "));
    }
    const long n = Receive(connection, buffer.data(), buffer.size());
    if (n <= 0 && first && may_retry) return std::nullopt;
    if (n < 0) Fail(kStepHeaderReceiveFailed, ErrorText("header recv error : %d"));
    // Without the empty line the reply is cut off; waiting on would wait for ever.
    if (n == 0) {
      Fail(kStepHeaderReceiveFailed,
           "header recv error : connection closed before the header ended.");
    }
    const auto result =
        collector.Add(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
    header_lines_ = collector.GetLines();
    switch (result) {
      case http_reply::HeaderCollector::Result::kNeedMore:
        break;
      case http_reply::HeaderCollector::Result::kNotHttp:
        Fail(kStepHeaderRefused, kResponseIsNotHttp + header_lines_.front());
      case http_reply::HeaderCollector::Result::kTooLong:
        Fail(kStepHeaderRefused, "HTTP header error : header longer than 64 KiB.");
      case http_reply::HeaderCollector::Result::kComplete:
        return std::string(collector.GetRest());
    }
  }
}

std::uint32_t HttpClient::CheckHeader(bool& announced) {
  const std::tstring& status = header_lines_.front();
  std::tstring code;
  if (!http_reply::GetStatusCode(status, code))
    Fail(kStepHeaderRefused, "HTTP header error : " + status);
  if (code != "200") throw HttpClientException("Receive error code : " + code, true);
  const auto fields = http_reply::GetFields(header_lines_);
  const auto field = fields.find("content-length");
  announced = field != fields.end();
  std::uint32_t length = 0;
  if (announced && !http_reply::ParseContentLength(field->second, length)) {
    Fail(kStepHeaderRefused, kContentLengthInvalid);
  }
  return length;
}

void HttpClient::ReceiveBody(Connection& connection, std::vector<std::uint8_t>& buffer,
                             const std::string& first_block, IHttpBodySink& sink,
                             bool require_whole) {
  length_ = CheckHeader(announced_);
  sink.OnBegin(announced_, length_);
  received_ = 0;
  Notify(kStepHeaderComplete);
  Notify(kStepReceivingBody);
  auto block = reinterpret_cast<const std::uint8_t*>(first_block.data());
  std::size_t size = first_block.size();
  for (;;) {
    ThrowIfAborted({abort_, stop_});
    if (size != 0) StoreBlock(block, size, sink);
    Notify(kStepBlockStored);
    if (!AwaitBytes(connection)) {
      // A server that keeps the connection open after the whole announced document has sent
      // all there is; anything less is cut short.
      if (announced_ && received_ == length_) break;
      throw HttpClientException(IdleText("body recv error : nothing received for "), true);
    }
    const long n = Receive(connection, buffer.data(), buffer.size());
    if (n == 0) break;
    // A broken connection is the end only for a document that is already whole; otherwise the
    // document would be cut short without anyone knowing.
    if (n < 0) {
      if (!announced_ || received_ < length_) {
        throw HttpClientException(ErrorText("body recv error : %d"), true);
      }
      break;
    }
    block = buffer.data();
    size = static_cast<std::size_t>(n);
  }
  if (require_whole && announced_ && received_ < length_) {
    throw HttpClientException("Document data is shorter than the Content-Length.", true);
  }
  if (!announced_) length_ = received_;
  sink.OnEnd(received_);
  Notify(kStepBodyComplete);
}

void HttpClient::StoreBlock(const std::uint8_t* bytes, std::size_t size, IHttpBodySink& sink) {
  const std::uint32_t room =
      announced_ ? length_ - received_ : std::numeric_limits<std::uint32_t>::max() - received_;
  if (size > room) {
    throw HttpClientException(
        announced_ ? "Document data exceed the Content-Length." : "Document data exceed 4 GiB.",
        true);
  }
  sink.OnData(bytes, size);
  received_ += static_cast<std::uint32_t>(size);
}

range_reply::Verdict HttpClient::RequestRange(std::tstring url, std::uint64_t first,
                                              std::uint64_t last, IHttpRangeSink& sink) {
  CriticalSectionLock settings(settings_lock_);
  // The connection closes when it goes out of scope, unless it was handed back to kept_.
  Connection connection;
  try {
    if (first > last) {
      throw HttpClientException(
          "range error : bytes " + std::to_string(first) + "-" + std::to_string(last), true);
    }
    SplitUrl(url, connection);
    const std::tstring key = KeptKey(connection);
    const std::tstring text = RangeRequestText(connection, first, last);
    std::vector<std::uint8_t> buffer(kBlockSize);
    std::optional<std::string> first_block;
    if (TakeKept(connection)) first_block = Exchange(connection, text, buffer, true);
    if (!first_block) {
      connection.socket.Close();
      Connect(connection);
      first_block = Exchange(connection, text, buffer, false);
    }
    range_reply::Verdict verdict;
    const std::string problem = range_reply::Judge(header_lines_, first, last, verdict);
    if (!problem.empty()) Fail(kStepHeaderRefused, "range reply error : " + problem);
    Notify(kStepHeaderComplete);
    if (!verdict.served) return verdict;
    Notify(kStepReceivingBody);
    ReceiveRange(connection, buffer, *first_block, first, verdict, sink);
    Notify(kStepBodyComplete);
    if (verdict.keep_alive) {
      kept_ = std::make_unique<Connection>(std::move(connection));
      kept_key_ = key;
    }
    return verdict;
  } catch (const Exception&) {
    throw;
  } catch (...) {
    throw Exception("File Download Error.", true);
  }
}

std::optional<std::string> HttpClient::Exchange(Connection& connection, const std::tstring& text,
                                                std::vector<std::uint8_t>& buffer, bool may_retry) {
  if (!SendRequest(connection, text, may_retry)) return std::nullopt;
  CriticalSectionLock data(data_lock_);
  return ReceiveHeader(connection, buffer, may_retry);
}

// A proxy connection is kept per document server too, so that one request never reaches a server
// it was not meant for.
std::tstring HttpClient::KeptKey(const Connection& connection) const {
  return connection.host + ":" + std::to_string(connection.port) + " " + host_ + ":" +
         std::to_string(port_);
}

bool HttpClient::TakeKept(Connection& connection) {
  const std::unique_ptr<Connection> kept = std::move(kept_);
  if (!kept || kept_key_ != KeptKey(connection)) return false;
  // Between two requests a quiet server sends nothing: bytes waiting here are not ours to read, and
  // an end waiting means the server has closed it.
  if (kept->socket.WaitReadable(0) != SocketWait::kTimedOut) return false;
  connection.socket = std::move(kept->socket);
  return true;
}

void HttpClient::ReceiveRange(Connection& connection, std::vector<std::uint8_t>& buffer,
                              std::string_view first_block, std::uint64_t offset,
                              range_reply::Verdict& verdict, IHttpRangeSink& sink) {
  std::uint64_t left = verdict.length;
  // Bytes beyond the announced length answer no request of ours: the connection is not kept.
  if (first_block.size() > left) verdict.keep_alive = false;
  const std::size_t head =
      static_cast<std::size_t>(std::min<std::uint64_t>(first_block.size(), left));
  if (head != 0) {
    sink.OnRangeData(offset, reinterpret_cast<const std::uint8_t*>(first_block.data()), head);
    offset += head;
    left -= head;
  }
  while (left != 0) {
    ThrowIfAborted({abort_, stop_});
    if (!AwaitBytes(connection)) {
      throw HttpClientException(IdleText("body recv error : nothing received for "), true);
    }
    // Never read past the range, so that the connection holds nothing of this reply afterwards.
    const long n = Receive(connection, buffer.data(),
                           static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), left)));
    if (n < 0) throw HttpClientException(ErrorText("body recv error : %d"), true);
    if (n == 0) {
      throw HttpClientException("range reply error : connection closed with " +
                                    std::to_string(left) + " of " + std::to_string(verdict.length) +
                                    " bytes missing",
                                true);
    }
    sink.OnRangeData(offset, buffer.data(), static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
    left -= static_cast<std::uint64_t>(n);
  }
}

void HttpClient::Fail(int step, const std::tstring& text) {
  Notify(step);
  throw HttpClientException(text, true);
}

// From the header on the data lock is held; the hook runs with it released, so a hook that reads
// the sizes from this thread or waits for another thread that does cannot deadlock.
void HttpClient::Notify(int step) {
  if (data_lock_.IsOwned()) {
    Unlocked released(data_lock_);
    CallHook(step);
  } else {
    CallHook(step);
  }
}

void HttpClient::CallHook(int step) {
  CriticalSectionLock hold(hook_lock_);
  if (hook_ != nullptr) hook_(step, this, hook_user_);
}
