#include "site_server.h"

#include <algorithm>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "base/ascii.h"
#include "base/relative_path.h"
#include "base/utf8string.h"
#include "site/site_names.h"

namespace {

constexpr size_t kMaxRequestHeader = 16 * 1024;
// A request's whole header must arrive within this time of its first byte (of the connection,
// for its first request), however slowly it drips.
constexpr auto kHeaderTime = std::chrono::seconds(10);
// A client that takes no bytes for this long is given up, so that it frees its worker.
constexpr int kSendTimeoutMs = 10000;
// A kept connection is closed when no next request begins within this time, and after this many
// requests, so that the workers go round the clients.
constexpr auto kKeptIdleTime = std::chrono::seconds(5);
constexpr int kMaxRequestsPerConnection = 100;
constexpr int kWorkers = 16;
constexpr size_t kMaxQueued = 64;
// Connections read at once; beyond them new ones wait in the system's backlog. Each costs a
// descriptor and its pending bytes only.
constexpr size_t kMaxWaiting = 16384;
// When accepting fails (no descriptor left) the listener rests this long instead of spinning.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// The reading thread looks at its deadlines at least this often, accepts at most this many
// connections between two looks at the others, and gives the refusal it sends to a client that
// does not read it at most this long.
constexpr auto kRoundTime = std::chrono::seconds(1);
constexpr int kAcceptsPerRound = 64;
constexpr int kRefusalSendTimeoutMs = 100;

bool SendAll(platform::Socket& connection, const char* bytes, size_t size) {
  while (size > 0) {
    const long sent = connection.Send(bytes, size);
    if (sent <= 0) return false;
    bytes += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

// Where a request's header ends, just after its empty line; npos until it has all arrived. Lines
// may end with a bare line feed.
size_t HeaderEnd(const std::string& bytes) {
  const size_t crlf = bytes.find("\n\r\n");
  const size_t lf = bytes.find("\n\n");
  if (crlf == std::string::npos) return lf == std::string::npos ? lf : lf + 2;
  return lf == std::string::npos ? crlf + 3 : std::min(crlf + 3, lf + 2);
}

struct Request {
  std::string target;  // empty when the request is not a GET with a target
  bool http11 = false;
  bool close = true;  // whether the connection ends after the reply
  std::optional<std::string> range;
};

// One header field of a request: the connection's end and the one Range field are kept. A second
// Range field makes the request one for the whole file.
void ReadField(std::string_view line, Request& request, bool& range_seen) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return;
  const std::string_view name = line.substr(0, colon);
  const std::string_view value = ascii::TrimBlanks(line.substr(colon + 1));
  if (ascii::EqualsIgnoringCase(name, "range")) {
    request.range = range_seen ? std::nullopt : std::optional<std::string>(value);
    range_seen = true;
  } else if (ascii::EqualsIgnoringCase(name, "connection")) {
    for (size_t pos = 0; pos <= value.size();) {
      const size_t comma = std::min(value.find(',', pos), value.size());
      if (ascii::EqualsIgnoringCase(ascii::TrimBlanks(value.substr(pos, comma - pos)), "close")) {
        request.close = true;
      }
      pos = comma + 1;
    }
  }
}

// HTTP/1.1 keeps the connection unless the client asks to close it; HTTP/1.0 and anything this
// server does not understand is answered once and closed, as the updater's own requests expect.
Request ParseRequest(std::string_view header) {
  Request request;
  const size_t line_end = header.find('\n');
  std::string_view line = header.substr(0, line_end);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.substr(0, 4) != "GET ") return request;
  const size_t blank = line.find(' ', 4);
  if (blank == std::string_view::npos) return request;
  request.target = line.substr(4, blank - 4);
  request.http11 = ascii::TrimBlanks(line.substr(blank + 1)) == "HTTP/1.1";
  request.close = !request.http11;
  bool range_seen = false;
  for (size_t pos = line_end + 1; pos < header.size();) {
    const size_t end = std::min(header.find('\n', pos), header.size());
    std::string_view field = header.substr(pos, end - pos);
    if (!field.empty() && field.back() == '\r') field.remove_suffix(1);
    ReadField(field, request, range_seen);
    pos = end + 1;
  }
  return request;
}

// A decimal number, at most the largest value; nothing unless the text is all digits.
std::optional<std::uint64_t> ParseDecimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
  }
  return value;
}

// The bytes of a file that a reply carries.
struct Part {
  enum Kind { kWhole, kRange, kUnsatisfiable } kind = kWhole;
  std::uint64_t first = 0;
  std::uint64_t size = 0;
};

// What a Range value asks of a file of `total` bytes. Anything but one well-formed byte range,
// several ranges among them, is ignored, as HTTP allows, and the whole file is sent.
Part SelectPart(const std::optional<std::string>& range, std::uint64_t total) {
  const Part whole{Part::kWhole, 0, total};
  if (!range || range->size() < 6 ||
      !ascii::EqualsIgnoringCase(std::string_view(*range).substr(0, 6), "bytes=")) {
    return whole;
  }
  const std::string_view bounds = ascii::TrimBlanks(std::string_view(*range).substr(6));
  const size_t dash = bounds.find('-');
  if (dash == std::string_view::npos) return whole;
  const std::string_view first_text = bounds.substr(0, dash);
  const std::string_view last_text = bounds.substr(dash + 1);
  if (first_text.empty()) {
    const auto suffix = ParseDecimal(last_text);
    if (!suffix) return whole;
    if (*suffix == 0 || total == 0) return {Part::kUnsatisfiable};
    const std::uint64_t size = std::min(*suffix, total);
    return {Part::kRange, total - size, size};
  }
  const auto first = ParseDecimal(first_text);
  const auto last = last_text.empty() ? std::optional(std::numeric_limits<std::uint64_t>::max())
                                      : ParseDecimal(last_text);
  if (!first || !last || *last < *first) return whole;
  if (*first >= total) return {Part::kUnsatisfiable};
  return {Part::kRange, *first, std::min(*last, total - 1) - *first + 1};
}

// A reply's header. HTTP/1.0 replies keep the bytes they have always had; an HTTP/1.1 reply
// that ends its connection says so.
std::string ReplyHeader(const Request& request, const std::string& status, const char* type,
                        std::uint64_t length, const std::string& content_range = "") {
  std::string header =
      (request.http11 ? "HTTP/1.1 " : "HTTP/1.0 ") + status + "\r\nContent-Type: " + type + "\r\n";
  if (!content_range.empty()) header += "Content-Range: " + content_range + "\r\n";
  if (request.http11 && request.close) header += "Connection: close\r\n";
  return header + "Content-Length: " + std::to_string(length) + "\r\n\r\n";
}

bool SendText(platform::Socket& connection, const Request& request, const std::string& status,
              const std::string& text, const std::string& content_range = "") {
  const std::string reply =
      ReplyHeader(request, status, "text/plain", text.size(), content_range) + text;
  return SendAll(connection, reply.data(), reply.size());
}

// Sends the header and then `size` bytes of the file from `first` on, a block at a time; false
// when the file or the connection fails before all were sent. The header goes out with the first
// block: sent on its own, it would hold the body back until the peer acknowledged it (the
// system's rule against small segments), which a peer that acknowledges late makes some 40 ms of
// every reply on a kept connection.
bool SendFilePart(platform::Socket& connection, std::string header, std::ifstream& file,
                  std::uint64_t first, std::uint64_t size) {
  file.seekg(static_cast<std::streamoff>(first));
  std::vector<char> block(64 * 1024);
  std::string out = std::move(header);
  do {
    const auto wanted = static_cast<std::streamsize>(std::min<std::uint64_t>(size, block.size()));
    if (wanted > 0 && !file.read(block.data(), wanted)) return false;
    out.append(block.data(), static_cast<size_t>(wanted));
    if (!SendAll(connection, out.data(), out.size())) return false;
    out.clear();
    size -= static_cast<std::uint64_t>(wanted);
  } while (size > 0);
  return true;
}

// Answers one request with the site file at `path` (system form; empty when none answers it).
bool Reply(platform::Socket& connection, const Request& request, const std::string& path) {
  std::ifstream file;
  if (!path.empty()) file.open(path, std::ios::binary);
  file.seekg(0, std::ios::end);
  const std::streamoff total = file.tellg();
  if (total < 0) return SendText(connection, request, "404 Not Found", "Not Found\n");
  const auto size = static_cast<std::uint64_t>(total);
  const Part part = SelectPart(request.range, size);
  const std::string of_total = "/" + std::to_string(size);
  if (part.kind == Part::kUnsatisfiable) {
    return SendText(connection, request, "416 Range Not Satisfiable", "Range Not Satisfiable\n",
                    "bytes *" + of_total);
  }
  const std::string header =
      part.kind == Part::kWhole
          ? ReplyHeader(request, "200 OK", "application/octet-stream", size)
          : ReplyHeader(request, "206 Partial Content", "application/octet-stream", part.size,
                        "bytes " + std::to_string(part.first) + "-" +
                            std::to_string(part.first + part.size - 1) + of_total);
  return SendFilePart(connection, header, file, part.first, part.size);
}

std::map<std::string, std::string> ParseQuery(const std::string& query) {
  std::map<std::string, std::string> values;
  size_t pos = 0;
  while (pos <= query.size()) {
    const size_t end = std::min(query.find('&', pos), query.size());
    const std::string pair = query.substr(pos, end - pos);
    const size_t equals = pair.find('=');
    if (equals != std::string::npos)
      values.emplace(pair.substr(0, equals), pair.substr(equals + 1));
    pos = end + 1;
  }
  return values;
}

}  // namespace

SiteServer::SiteServer(std::string site, std::string list_path)
    : site_(std::move(site)), list_path_(std::move(list_path)) {}

bool SiteServer::Listen(std::uint32_t address, std::uint16_t port) {
  return listener_.Listen(address, port) && platform::ConnectedPair(wake_, woken_);
}

void SiteServer::Serve() {
  // Without a single worker each request is answered on this thread, and its connection closed.
  const bool pooled = StartWorkers() > 0;
  for (;;) ReadRound(pooled);
}

int SiteServer::StartWorkers() {
  int started = 0;
  try {
    for (; started < kWorkers; ++started) std::thread(&SiteServer::Work, this).detach();
  } catch (const std::system_error&) {
    // The system's limit on threads: serve with the workers there are.
  }
  return started;
}

void SiteServer::ReadRound(bool pooled) {
  const Clock::time_point now = Clock::now();
  const bool paused = now < accept_paused_until_;
  const bool accepting = waiting_.size() < kMaxWaiting && !paused;
  std::vector<platform::SocketPoll> polls{{&woken_}};
  if (accepting) polls.push_back({&listener_.Waitable()});
  const std::size_t first = polls.size();
  Clock::time_point wake_at = paused ? accept_paused_until_ : now + kRoundTime;
  for (const Connection& connection : waiting_) {
    polls.push_back({&connection.socket});
    wake_at = std::min(wake_at, connection.deadline);
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake_at - now).count();
  if (platform::WaitForAny(polls, static_cast<int>(std::max<std::int64_t>(wait, 0))) < 0) return;
  const Clock::time_point after = Clock::now();
  auto connection = waiting_.begin();
  for (std::size_t i = first; i < polls.size(); ++i) {
    const bool keep = polls[i].ready ? ReadFrom(*connection, pooled) : after < connection->deadline;
    connection = keep ? std::next(connection) : waiting_.erase(connection);
  }
  if (polls[0].ready) TakeReturned();
  if (accepting && polls[1].ready) Accept();
}

void SiteServer::Accept() {
  for (int i = 0; i < kAcceptsPerRound && waiting_.size() < kMaxWaiting; ++i) {
    platform::Socket socket = listener_.Accept(0);
    if (!socket.IsOpen()) {
      if (platform::LastSocketError() != platform::kSocketErrorTimedOut) {
        accept_paused_until_ = Clock::now() + kAcceptPause;
      }
      return;
    }
    socket.SetSendTimeout(kSendTimeoutMs);
    waiting_.push_back({std::move(socket), {}, 0, Clock::now() + kHeaderTime});
  }
}

bool SiteServer::ReadFrom(Connection& connection, bool pooled) {
  char buffer[4096];
  const long received = connection.socket.Receive(buffer, sizeof buffer);
  if (received <= 0) return false;
  // The first byte of a kept connection's next request starts that request's time.
  if (connection.pending.empty() && connection.served > 0) {
    connection.deadline = Clock::now() + kHeaderTime;
  }
  connection.pending.append(buffer, static_cast<size_t>(received));
  if (HeaderEnd(connection.pending) == std::string::npos) {
    return connection.pending.size() <= kMaxRequestHeader;
  }
  if (!pooled) {
    connection.served = kMaxRequestsPerConnection - 1;
    AnswerSafely(std::move(connection));
  } else if (!Enqueue(connection)) {
    static const char kBusy[] =
        "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
        "Content-Length: 5\r\n\r\nBusy\n";
    connection.socket.SetSendTimeout(kRefusalSendTimeoutMs);
    SendAll(connection.socket, kBusy, sizeof kBusy - 1);
  }
  return false;
}

void SiteServer::TakeReturned() {
  char drained[256];
  woken_.Receive(drained, sizeof drained);
  std::lock_guard<std::mutex> hold(queue_mutex_);
  for (Connection& connection : returned_) waiting_.push_back(std::move(connection));
  returned_.clear();
}

bool SiteServer::Enqueue(Connection& connection) {
  {
    std::lock_guard<std::mutex> hold(queue_mutex_);
    if (queue_.size() >= kMaxQueued) return false;
    queue_.push_back(std::move(connection));
  }
  queued_.notify_one();
  return true;
}

void SiteServer::Return(Connection connection) {
  connection.deadline = Clock::now() + (connection.pending.empty() ? kKeptIdleTime : kHeaderTime);
  std::lock_guard<std::mutex> hold(queue_mutex_);
  // One byte per batch: the reading thread takes the whole batch when it wakes.
  static const char kWake = 0;
  if (returned_.empty()) wake_.Send(&kWake, 1);
  returned_.push_back(std::move(connection));
}

void SiteServer::Work() {
  for (;;) {
    Connection connection;
    {
      std::unique_lock<std::mutex> hold(queue_mutex_);
      queued_.wait(hold, [this] { return !queue_.empty(); });
      connection = std::move(queue_.front());
      queue_.pop_front();
    }
    AnswerSafely(std::move(connection));
  }
}

void SiteServer::AnswerSafely(Connection connection) noexcept {
  try {
    if (Answer(connection)) Return(std::move(connection));
  } catch (...) {
    // One request that could not be answered (memory, a name that does not convert) must not
    // end the server; closing the connection is the answer.
  }
}

bool SiteServer::Answer(Connection& connection) const {
  for (size_t end; (end = HeaderEnd(connection.pending)) != std::string::npos;) {
    Request request = ParseRequest(std::string_view(connection.pending).substr(0, end));
    connection.pending.erase(0, end);
    request.close = request.close || ++connection.served == kMaxRequestsPerConnection;
    const std::string path = request.target.empty() ? std::string() : FileFor(request.target);
    if (!Reply(connection.socket, request, path) || request.close) return false;
  }
  return true;
}

std::string SiteServer::FileFor(const std::string& target) const {
  if (const auto document = BesideListAt(target, list_path_)) {
    return site_ + "/" + SiteFileName(*document);
  }
  const size_t question = target.find('?');
  if (target.substr(0, question) != list_path_) return {};
  if (question == std::string::npos) return site_ + "/" + kSiteListName;
  const auto query = ParseQuery(target.substr(question + 1));
  const auto file = query.find("file");
  const auto size = query.find("orgsize");
  if (file == query.end() || size == query.end()) return {};
  const auto package = PackagePathForValues(file->second, size->second);
  return package ? site_ + "/" + *package : std::string();
}
