// A small HTTP/1.0 server for a release site, for local use and tests: it answers the URLs that
// the site's nginx configuration answers. Each connection is served on a thread of its own.
#pragma once

#include <cstdint>
#include <string>

#include "platform/socket.h"

class SiteServer {
 public:
  // site: the site folder (system form); list_path: the URL path of the list.
  SiteServer(std::string site, std::string list_path);

  // False when the address cannot be listened on.
  bool Listen(std::uint32_t address, std::uint16_t port);
  std::uint16_t GetPort() const { return listener_.GetPort(); }
  // Serves until the process ends.
  [[noreturn]] void Serve();

 private:
  void Handle(platform::Socket connection) const;
  // The site file that answers a request target, empty for none.
  std::string FileFor(const std::string& target) const;

  std::string site_;
  std::string list_path_;
  platform::ListeningSocket listener_;
};
