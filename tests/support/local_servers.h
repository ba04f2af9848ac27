// nginx and tinyproxy from the system's packages, run by a test on 127.0.0.1 with a generated
// configuration in a folder of their own, on a free port, and stopped when the object goes.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

namespace test_support {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix);
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& GetPath() const { return path_; }

 private:
  std::filesystem::path path_;
};

// nginx with a configuration of the test's own.
class Nginx {
 public:
  // Serves the files of `root` as static files on a free port.
  explicit Nginx(const std::filesystem::path& root);
  // Runs the server blocks of a configuration file (for example a release site's), included from
  // the http { } block, which listen on `port`.
  Nginx(std::uint16_t port, const std::filesystem::path& server_blocks);
  ~Nginx();
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;
  std::uint16_t GetPort() const { return port_; }

 private:
  void Start(const std::string& servers);

  TempFolder folder_{"varne-nginx"};
  std::uint16_t port_ = 0;
  std::string command_;
};

// An HTTP proxy that may forward to 127.0.0.1.
class TinyProxy {
 public:
  TinyProxy();
  ~TinyProxy();
  TinyProxy(const TinyProxy&) = delete;
  TinyProxy& operator=(const TinyProxy&) = delete;
  std::uint16_t GetPort() const { return port_; }
  // "127.0.0.1:<port>", the text that makes a client use this proxy.
  std::string GetProxyText() const { return "127.0.0.1:" + std::to_string(port_); }
  // What the proxy logged so far: one line per request it forwarded, among others.
  std::string GetLog() const;

 private:
  TempFolder folder_{"varne-tinyproxy"};
  std::uint16_t port_ = 0;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

// Waits, at most `seconds` long, for a condition that another process brings about.
template <typename Condition>
bool Eventually(Condition condition, int seconds = 40) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

// Waits until something accepts connections on 127.0.0.1:port (at most about ten seconds).
bool WaitForPort(std::uint16_t port);

// Runs a shell command; throws when it does not exit with 0.
void Run(const std::string& command);

}  // namespace test_support
