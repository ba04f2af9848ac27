#include "net/http_client.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "base/exception.h"
#include "net/connection_pool.h"
#include "net/http_reply.h"
#include "res/historical_messages.h"

namespace {

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

}  // namespace

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

void HttpClient::UsePool(std::shared_ptr<ConnectionPool> pool) {
  CriticalSectionLock hold(settings_lock_);
  pool_ = std::move(pool);
}

void HttpClient::UseRateCap(std::shared_ptr<RateCap> cap) {
  CriticalSectionLock hold(settings_lock_);
  cap_ = std::move(cap);
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

std::tstring HttpClient::GetStatusLine() {
  CriticalSectionLock hold(data_lock_);
  return header_lines_.empty() ? std::tstring() : header_lines_.front();
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
  std::unique_ptr<HttpConnection> connection;
  try {
    DropDocument();
    Notify(kStepBegun);
    const Route route = SplitUrl(url);
    connection = Connect(route);
    SendRequest(*connection, RequestText(route), false);
    std::vector<std::uint8_t> buffer(kBlockSize);
    {
      CriticalSectionLock data(data_lock_);
      const std::string first_block = *ReceiveHeader(*connection, buffer, false, {});
      ReceiveBody(*connection, buffer, first_block, sink, require_whole);
    }
    Notify(kStepClosing);
    connection.reset();
    Notify(kStepClosed);
    return 0;
  } catch (const Exception& failure) {
    connection.reset();
    DropDocument();
    throw Exception(failure);
  } catch (...) {
    connection.reset();
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

HttpClient::Route HttpClient::SplitUrl(const std::tstring& url) {
  std::size_t host_start = 0;
  const std::size_t scheme_end = url.find("://");
  if (scheme_end != std::string::npos) {
    if (url.compare(0, scheme_end, "http") != 0) Fail(kStepUrlRefused, "not http query : " + url);
    host_start = scheme_end + 3;
  }
  const std::size_t slash = url.find('/', host_start);
  // Without a path there is nothing to ask for.
  if (slash == std::string::npos) throw Exception("File Download Error.", true);
  Route route;
  std::tstring& host = route.server;
  host = url.substr(host_start, slash - host_start);
  // A proxy reaches a server whose URL names no port on HTTP's own port; the other default is for
  // direct connections only.
  route.server_port = proxy_enabled_ ? 80 : direct_port_;
  // A server on another port than 80 is named as "host:port"; without reading it, such a URL
  // would send the whole text to the resolver as a host name.
  const std::size_t colon = host.rfind(':');
  if (colon != std::string::npos && colon + 1 < host.size() &&
      host.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
    int port = 0;
    if (!ParseSigned(host.substr(colon + 1), port) || !IsPort(port)) {
      throw Exception("File Download Error.", true);
    }
    route.server_port = port;
    host.erase(colon);
  }
  route.host = proxy_enabled_ ? proxy_host_ : route.server;
  route.port = proxy_enabled_ ? proxy_port_ : route.server_port;
  route.target = proxy_enabled_ ? url : std::tstring(url.substr(slash));
  return route;
}

std::unique_ptr<HttpConnection> HttpClient::Connect(const Route& route) {
  Notify(kStepCreatingSocket);
  HttpConnection::Caller& caller = *this;
  auto connection = std::make_unique<HttpConnection>(route.host, route.port, caller);
  Notify(kStepConnected);
  return connection;
}

void HttpClient::Announce(HttpConnection::Failing failing) {
  Notify(failing == HttpConnection::Failing::kConnect ? kStepConnectFailed : kStepSendFailed);
}

std::tstring HttpClient::RequestText(const Route& route) const {
  return "GET " + route.target + " HTTP/1.0\r\n" + "Host: " + route.host + "\r\n" +
         "User-Agent: " + user_agent_ + "\r\n" + "Content-Type: text/html; charset=UTF-8\r\n" +
         "\r\n";
}

// Host names the document's server even through a proxy, as HTTP/1.1 requires.
std::tstring HttpClient::KeptRequestText(const Route& route, const std::tstring& fields) const {
  const std::tstring host =
      route.server_port == 80
          ? route.server
          : std::tstring(route.server + ":" + std::to_string(route.server_port));
  return "GET " + route.target + " HTTP/1.1\r\n" + "Host: " + host + "\r\n" +
         "User-Agent: " + user_agent_ + "\r\n" + fields + "\r\n";
}

bool HttpClient::SendRequest(HttpConnection& connection, const std::tstring& text, bool may_retry) {
  Notify(kStepSending);
  if (!connection.Send(text, may_retry, *this)) return false;
  Notify(kStepSent);
  Notify(kStepAfterSent);
  Notify(kStepReceivingHeader);
  return true;
}

std::optional<std::string> HttpClient::ReceiveHeader(HttpConnection& connection,
                                                     std::vector<std::uint8_t>& buffer,
                                                     bool may_retry, std::string_view carried) {
  header_lines_.clear();
  connection.BeginReply();
  http_reply::HeaderCollector collector;
  for (bool first = carried.empty();; first = false) {
    if (carried.empty()) {
      if (!connection.AwaitBytes(*this)) {
        FailToReceive(
            HttpConnection::IdleFailure("header recv error : nothing received for ", *this));
      }
      const long n = connection.Receive(buffer.data(), buffer.size(), *this);
      if (n <= 0 && first && may_retry) return std::nullopt;
      if (n < 0) {
        FailToReceive(HttpConnection::SocketFailure("header recv error : %d"));
      }
      // Without the empty line the reply is cut off; waiting on would wait for ever.
      if (n == 0) {
        FailToReceive("header recv error : connection closed before the header ended.");
      }
      carried = {reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n)};
    }
    const auto result = collector.Add(carried.data(), carried.size());
    carried = {};
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

void HttpClient::CheckStatus() {
  const std::tstring& status = header_lines_.front();
  std::tstring code;
  if (!http_reply::GetStatusCode(status, code))
    Fail(kStepHeaderRefused, "HTTP header error : " + status);
  if (code == "200") return;
  // A server that answers that it has no such document, or will not hand it out, serves the site
  // as its publisher left it: the player's connection is fine, and only the publisher can mend it.
  const bool site_says_no = code == "403" || code == "404" || code == "410";
  throw Caused(HttpClientException("Receive error code : " + code, true),
               site_says_no ? ErrorCause::kPublisher : ErrorCause::kUnknown);
}

std::uint32_t HttpClient::CheckHeader(bool& announced) {
  CheckStatus();
  const auto fields = http_reply::GetFields(header_lines_);
  const auto field = fields.find("content-length");
  announced = field != fields.end();
  std::uint32_t length = 0;
  if (announced && !http_reply::ParseContentLength(field->second, length)) {
    Fail(kStepHeaderRefused, kContentLengthInvalid);
  }
  return length;
}

void HttpClient::ReceiveBody(HttpConnection& connection, std::vector<std::uint8_t>& buffer,
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
    ThrowIfAborted();
    if (size != 0) StoreBlock(block, size, sink);
    Notify(kStepBlockStored);
    if (!connection.AwaitBytes(*this)) {
      // A server that keeps the connection open after the whole announced document has sent
      // all there is; anything less is cut short.
      if (announced_ && received_ == length_) break;
      throw HttpConnection::NetworkFailure(
          HttpConnection::IdleFailure("body recv error : nothing received for ", *this));
    }
    const long n = connection.Receive(buffer.data(), buffer.size(), *this);
    if (n == 0) break;
    // A broken connection is the end only for a document that is already whole; otherwise the
    // document would be cut short without anyone knowing.
    if (n < 0) {
      if (!announced_ || received_ < length_) {
        throw HttpConnection::NetworkFailure(HttpConnection::SocketFailure("body recv error : %d"));
      }
      break;
    }
    block = buffer.data();
    size = static_cast<std::size_t>(n);
  }
  if (require_whole && announced_ && received_ < length_) {
    throw HttpConnection::NetworkFailure("Document data is shorter than the Content-Length.");
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

void HttpClient::Fail(int step, const std::tstring& text) {
  Notify(step);
  throw HttpClientException(text, true);
}

void HttpClient::FailToReceive(const std::tstring& text) {
  Notify(kStepHeaderReceiveFailed);
  throw HttpConnection::NetworkFailure(text);
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
