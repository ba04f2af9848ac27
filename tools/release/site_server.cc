#include "site_server.h"

#include <algorithm>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
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
// A reply is given up when the client takes none of it for this long.
constexpr auto kSendTime = std::chrono::seconds(10);
// A kept connection is closed when no next request begins within this time, and after this many
// requests.
constexpr auto kKeptIdleTime = std::chrono::seconds(5);
constexpr int kMaxRequestsPerConnection = 100;
// When accepting fails (no descriptor left) the listener rests this long instead of spinning.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// The thread looks at its deadlines at least this often, and accepts at most this many
// connections between two looks at the others. A round sends about this many blocks, shared
// among the connections being sent replies (one each at least, this many at most), so that
// clients that take all they are sent do not keep a new request waiting for long.
constexpr auto kRoundTime = std::chrono::seconds(1);
constexpr int kAcceptsPerRound = 64;
constexpr std::uint64_t kBlockSize = 64 * 1024;
constexpr std::size_t kBlocksPerRound = 16;

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
  std::uint64_t body = 0;  // the length of the body that follows the header
};

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
  } else if (ascii::EqualsIgnoringCase(name, "content-length")) {
    // A length that is not a number leaves the body's end unknown: the connection ends.
    const auto length = ParseDecimal(value);
    request.body = length.value_or(0);
    request.close = request.close || !length;
  } else if (ascii::EqualsIgnoringCase(name, "transfer-encoding")) {
    request.close = true;  // a body in chunks is not read here, so nothing after it is either
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

std::string TextReply(const Request& request, const std::string& status, const std::string& text,
                      const std::string& content_range = "") {
  return ReplyHeader(request, status, "text/plain", text.size(), content_range) + text;
}

// The reply to one request: its header, or all of it, and the part of the file that follows.
struct Reply {
  std::string head;
  std::uint64_t first = 0;
  std::uint64_t size = 0;
};

// Opens the site file at `path` (system form; empty when none answers the request) without a
// buffer of its own, so that each connection being sent a file costs little, and says what of
// it answers the request.
Reply ReplyFor(const Request& request, const std::string& path, std::ifstream& file) {
  file = std::ifstream();
  file.rdbuf()->pubsetbuf(nullptr, 0);
  if (!path.empty()) file.open(path, std::ios::binary);
  file.seekg(0, std::ios::end);
  const std::streamoff total = file.tellg();
  if (total < 0) return {TextReply(request, "404 Not Found", "Not Found\n")};
  const auto size = static_cast<std::uint64_t>(total);
  const Part part = SelectPart(request.range, size);
  const std::string of_total = "/" + std::to_string(size);
  if (part.kind == Part::kUnsatisfiable) {
    return {TextReply(request, "416 Range Not Satisfiable", "Range Not Satisfiable\n",
                      "bytes *" + of_total)};
  }
  if (part.kind == Part::kWhole) {
    return {ReplyHeader(request, "200 OK", "application/octet-stream", size), 0, size};
  }
  return {ReplyHeader(request, "206 Partial Content", "application/octet-stream", part.size,
                      "bytes " + std::to_string(part.first) + "-" +
                          std::to_string(part.first + part.size - 1) + of_total),
          part.first, part.size};
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

SiteServer::SiteServer(std::string site, std::string list_path, std::size_t connections)
    : site_(std::move(site)),
      list_path_(std::move(list_path)),
      max_connections_(std::clamp<std::size_t>(connections, 1, kMaxConnections)) {}

bool SiteServer::Listen(std::uint32_t address, std::uint16_t port) {
  return listener_.Listen(address, port);
}

void SiteServer::Serve() {
  for (;;) Round();
}

void SiteServer::Round() {
  const Clock::time_point now = Clock::now();
  const bool accepting = now >= accept_paused_until_;
  std::vector<platform::SocketPoll> polls;
  if (accepting) polls.push_back({&listener_.Waitable()});
  const std::size_t first = polls.size();
  Clock::time_point wake_at = accepting ? now + kRoundTime : accept_paused_until_;
  std::size_t replying = 0;
  for (const Connection& connection : connections_) {
    polls.push_back({&connection.socket, connection.replying});
    wake_at = std::min(wake_at, connection.deadline);
    replying += connection.replying;
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake_at - now).count();
  if (platform::WaitForAny(polls, static_cast<int>(std::max<std::int64_t>(wait, 0))) < 0) return;
  const Clock::time_point after = Clock::now();
  auto connection = connections_.begin();
  // New connections go first: a client's request usually comes with its connection, and it is
  // answered before this round's blocks to the others. Each is sent one block, as many may come.
  blocks_per_send_ = 1;
  if (accepting && polls[0].ready) Accept();
  blocks_per_send_ = std::max<std::size_t>(kBlocksPerRound / std::max<std::size_t>(replying, 1), 1);
  for (std::size_t i = first; i < polls.size(); ++i) {
    const bool keep = polls[i].ready ? Handle(*connection) : after < connection->deadline;
    connection = keep ? std::next(connection) : connections_.erase(connection);
  }
}

void SiteServer::Accept() {
  for (int i = 0; i < kAcceptsPerRound; ++i) {
    platform::Socket socket = listener_.Accept(0);
    if (!socket.IsOpen()) {
      if (platform::LastSocketError() != platform::kSocketErrorTimedOut) {
        accept_paused_until_ = Clock::now() + kAcceptPause;
      }
      return;
    }
    if (!socket.SetNonBlocking()) continue;
    if (connections_.size() >= max_connections_) {
      // The refusal fits the room of a new connection, so one send gives it whole.
      static const char kBusy[] =
          "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
          "Content-Length: 5\r\n\r\nBusy\n";
      socket.Send(kBusy, sizeof kBusy - 1);
      continue;
    }
    Connection& connection = connections_.emplace_front();
    connection.socket = std::move(socket);
    connection.deadline = Clock::now() + kHeaderTime;
    if (!Handle(connection)) connections_.pop_front();
  }
}

bool SiteServer::Handle(Connection& connection) noexcept {
  try {
    return connection.replying ? SendTo(connection) : ReadFrom(connection);
  } catch (...) {
    // One request that could not be answered (memory, a name that does not convert) must not
    // end the server; closing the connection is the answer.
    return false;
  }
}

bool SiteServer::ReadFrom(Connection& connection) {
  char buffer[4096];
  const long received = connection.socket.Receive(buffer, sizeof buffer);
  // Nothing yet (a connection just accepted) is waited for; the end of the stream ends it.
  if (received < 0) return platform::LastSocketError() == platform::kSocketErrorTimedOut;
  if (received == 0) return false;
  std::string_view bytes(buffer, static_cast<size_t>(received));
  const auto skipped = std::min<std::uint64_t>(connection.body_left, bytes.size());
  connection.body_left -= skipped;
  bytes.remove_prefix(static_cast<size_t>(skipped));
  // The first byte of a kept connection's next request starts that request's time.
  if (connection.pending.empty() && !bytes.empty() && connection.served > 0) {
    connection.deadline = Clock::now() + kHeaderTime;
  }
  connection.pending.append(bytes);
  return StartReply(connection);
}

bool SiteServer::StartReply(Connection& connection) {
  const size_t end = HeaderEnd(connection.pending);
  if (end == std::string::npos) return connection.pending.size() <= kMaxRequestHeader;
  const Request request = ParseRequest(std::string_view(connection.pending).substr(0, end));
  const auto body = std::min<std::uint64_t>(request.body, connection.pending.size() - end);
  connection.pending.erase(0, end + static_cast<size_t>(body));
  connection.body_left = request.body - body;
  connection.close_after = request.close || ++connection.served == kMaxRequestsPerConnection;
  const std::string path = request.target.empty() ? std::string() : FileFor(request.target);
  Reply reply = ReplyFor(request, path, connection.file);
  connection.head = std::move(reply.head);
  connection.next = reply.first;
  connection.end = reply.first + reply.size;
  connection.replying = true;
  connection.deadline = Clock::now() + kSendTime;
  return SendTo(connection);
}

bool SiteServer::SendTo(Connection& connection) {
  for (std::size_t block = 0; block < blocks_per_send_; ++block) {
    if (connection.head.empty() && connection.next == connection.end) return Finish(connection);
    // The header goes out with the first block of the body: sent on its own, it would hold the
    // body back until the peer acknowledged it (the system's rule against small segments), which
    // a peer that acknowledges late makes some 40 ms of every reply on a kept connection.
    const size_t head_size = connection.head.size();
    const auto wanted = static_cast<size_t>(std::min(connection.end - connection.next, kBlockSize));
    out_.assign(connection.head);
    out_.resize(head_size + wanted);
    if (wanted > 0 &&
        !(connection.file.seekg(static_cast<std::streamoff>(connection.next)) &&
          connection.file.read(&out_[head_size], static_cast<std::streamsize>(wanted)))) {
      return false;
    }
    const long sent = connection.socket.Send(out_.data(), out_.size());
    // A full connection is waited for; what it did not take is read again then.
    if (sent < 0) return platform::LastSocketError() == platform::kSocketErrorTimedOut;
    const size_t from_head = std::min(static_cast<size_t>(sent), head_size);
    connection.head.erase(0, from_head);
    connection.next += static_cast<std::uint64_t>(sent) - from_head;
    connection.deadline = Clock::now() + kSendTime;
    if (static_cast<size_t>(sent) < out_.size()) return true;
  }
  return true;
}

bool SiteServer::Finish(Connection& connection) {
  connection.replying = false;
  connection.file.close();
  if (connection.close_after) return false;
  connection.deadline = Clock::now() + (connection.pending.empty() ? kKeptIdleTime : kHeaderTime);
  return StartReply(connection);
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
