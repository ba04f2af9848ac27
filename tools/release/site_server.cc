#include "site_server.h"

#include <fstream>
#include <map>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "base/relative_path.h"
#include "base/utf8string.h"
#include "site_layout.h"

namespace {

constexpr size_t kMaxRequestHeader = 16 * 1024;
constexpr int kReceiveTimeoutMs = 10000;
// A client that takes no bytes for this long is given up, so that it frees its worker.
constexpr int kSendTimeoutMs = 10000;
constexpr int kWorkers = 16;
constexpr size_t kMaxQueued = 64;
// The refusal of a connection beyond the queue is sent by the accepting thread, which must not
// wait on a client that does not read it.
constexpr int kRefusalSendTimeoutMs = 1000;

bool SendAll(platform::Socket& connection, const char* bytes, size_t size) {
  while (size > 0) {
    const long sent = connection.Send(bytes, size);
    if (sent <= 0) return false;
    bytes += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

// The request line's target, once the whole header has arrived; empty on any failure.
std::string ReceiveTarget(platform::Socket& connection) {
  std::string header;
  char buffer[2048];
  while (header.find("\r\n\r\n") == std::string::npos && header.find("\n\n") == std::string::npos) {
    if (header.size() > kMaxRequestHeader) return {};
    const long received = connection.Receive(buffer, sizeof buffer);
    if (received <= 0) return {};
    header.append(buffer, static_cast<size_t>(received));
  }
  if (header.compare(0, 4, "GET ") != 0) return {};
  const size_t end = header.find(' ', 4);
  return end == std::string::npos ? std::string() : header.substr(4, end - 4);
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

std::string Encoded(const std::string& bytes) {
  utf8string text;
  text.SetUtf8Data(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  return text.GetUrlEncoded();
}

// The stored package of a "file" value: decoded twice to the listed path, refused when the
// updater would not install that path, and encoded again in the one spelling the site stores.
std::optional<std::string> PackageFor(const std::string& file) {
  const auto once = PercentDecode(file);
  const auto path = once ? PercentDecode(*once) : std::nullopt;
  if (!path || !IsSafeRelativePath(*path)) return std::nullopt;
  return PackagePathForQueryValue(Encoded(Encoded(*path)));
}

}  // namespace

SiteServer::SiteServer(std::string site, std::string list_path)
    : site_(std::move(site)), list_path_(std::move(list_path)) {}

bool SiteServer::Listen(std::uint32_t address, std::uint16_t port) {
  return listener_.Listen(address, port);
}

void SiteServer::Serve() {
  // Without a single worker the connections are served one after another on this thread.
  const bool pooled = StartWorkers() > 0;
  for (;;) {
    platform::Socket connection = listener_.Accept(1000);
    if (!connection.IsOpen()) continue;
    if (!pooled) {
      HandleSafely(std::move(connection));
    } else if (!Enqueue(connection)) {
      static const char kBusy[] =
          "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
          "Content-Length: 5\r\n\r\nBusy\n";
      connection.SetSendTimeout(kRefusalSendTimeoutMs);
      SendAll(connection, kBusy, sizeof kBusy - 1);
    }
  }
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

bool SiteServer::Enqueue(platform::Socket& connection) {
  {
    std::lock_guard<std::mutex> hold(queue_mutex_);
    if (queue_.size() >= kMaxQueued) return false;
    queue_.push_back(std::move(connection));
  }
  queued_.notify_one();
  return true;
}

void SiteServer::Work() {
  for (;;) {
    platform::Socket connection;
    {
      std::unique_lock<std::mutex> hold(queue_mutex_);
      queued_.wait(hold, [this] { return !queue_.empty(); });
      connection = std::move(queue_.front());
      queue_.pop_front();
    }
    HandleSafely(std::move(connection));
  }
}

void SiteServer::HandleSafely(platform::Socket connection) const noexcept {
  try {
    Handle(std::move(connection));
  } catch (...) {
    // One request that could not be answered (memory, a name that does not convert) must not
    // end the server; closing the connection is the answer.
  }
}

std::string SiteServer::FileFor(const std::string& target) const {
  if (target == list_path_ + ".sig") return site_ + "/" + kSiteSignatureName;
  const size_t question = target.find('?');
  if (target.substr(0, question) != list_path_) return {};
  if (question == std::string::npos) return site_ + "/" + kSiteListName;
  const auto query = ParseQuery(target.substr(question + 1));
  const auto file = query.find("file");
  const auto size = query.find("orgsize");
  if (file == query.end() || size == query.end() || size->second.empty()) return {};
  const auto package = PackageFor(file->second);
  return package ? site_ + "/" + *package : std::string();
}

void SiteServer::Handle(platform::Socket connection) const {
  connection.SetReceiveTimeout(kReceiveTimeoutMs);
  connection.SetSendTimeout(kSendTimeoutMs);
  const std::string target = ReceiveTarget(connection);
  const std::string path = target.empty() ? std::string() : FileFor(target);
  std::ifstream file;
  if (!path.empty()) file.open(path, std::ios::binary);
  if (!file.is_open()) {
    static const char kNotFound[] =
        "HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n\r\nNot "
        "Found\n";
    SendAll(connection, kNotFound, sizeof kNotFound - 1);
    return;
  }
  file.seekg(0, std::ios::end);
  const std::string header =
      "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
      "Content-Length: " +
      std::to_string(file.tellg()) + "\r\n\r\n";
  file.seekg(0);
  if (!SendAll(connection, header.data(), header.size())) return;
  std::vector<char> block(64 * 1024);
  while (file.read(block.data(), static_cast<std::streamsize>(block.size())) || file.gcount() > 0) {
    if (!SendAll(connection, block.data(), static_cast<size_t>(file.gcount()))) return;
  }
}
