// nginx and tinyproxy from the system's packages, run by a test on 127.0.0.1 with a generated
// configuration in a folder of their own, on a free port, and stopped when the object goes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "support/scratch.h"

namespace test_support {

// nginx with a configuration of the test's own.
class Nginx {
 public:
  // Runs the server blocks of a configuration file (for example a release site's), included from
  // the http { } block, which listen on `port`.
  Nginx(std::uint16_t port, const std::filesystem::path& server_blocks);
  ~Nginx();
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;
  // Holds the server's worker (SIGSTOP), or lets it go on: a server that stops answering without
  // closing its connections.
  void Hold(bool held) const;

 private:
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
  // "127.0.0.1:<port>", the text that makes a client use this proxy.
  std::string GetProxyText() const { return "127.0.0.1:" + std::to_string(port_); }
  // What the proxy logged so far: one line per request it forwarded, among others.
  std::string GetLog() const { return ReadFile(folder_.GetPath() / "tinyproxy.log"); }

 private:
  TempFolder folder_{"varne-tinyproxy"};
  std::uint16_t port_ = 0;
};

}  // namespace test_support
