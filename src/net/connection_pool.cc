#include "net/connection_pool.h"

#include <algorithm>

ConnectionPool::ConnectionPool(std::size_t idle_per_server)
    : per_server_(std::clamp<std::size_t>(idle_per_server, 1, kMostPerServer)) {}

std::unique_ptr<HttpConnection> ConnectionPool::Take(const std::tstring& server) {
  for (;;) {
    std::unique_ptr<HttpConnection> connection = Pop(server);
    if (connection == nullptr || connection->IsQuiet()) return connection;
  }
}

std::unique_ptr<HttpConnection> ConnectionPool::Pop(const std::tstring& server) {
  std::lock_guard hold(mutex_);
  const auto found = idle_.find(server);
  if (found == idle_.end()) return nullptr;
  std::unique_ptr<HttpConnection> connection = std::move(found->second.back());
  found->second.pop_back();
  if (found->second.empty()) idle_.erase(found);
  return connection;
}

void ConnectionPool::Give(const std::tstring& server, std::unique_ptr<HttpConnection> connection) {
  std::lock_guard hold(mutex_);
  keeping_.insert(server);
  std::vector<std::unique_ptr<HttpConnection>>& idle = idle_[server];
  if (idle.size() < per_server_) idle.push_back(std::move(connection));
}

bool ConnectionPool::Keeps(const std::tstring& server) {
  std::lock_guard hold(mutex_);
  return keeping_.contains(server);
}

std::size_t ConnectionPool::IdleCount() {
  std::lock_guard hold(mutex_);
  std::size_t count = 0;
  for (const auto& [server, idle] : idle_) count += idle.size();
  return count;
}
