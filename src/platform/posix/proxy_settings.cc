#include "platform/proxy_settings.h"

#include <cstdlib>
#include <string_view>

namespace platform {
namespace {

// "http://host:port/" gives "host:port": the scheme and anything from the first "/" after the
// address are dropped, as the settings hold the address alone.
std::string AddressOf(std::string_view url) {
  if (const size_t scheme = url.find("://"); scheme != std::string_view::npos) {
    url.remove_prefix(scheme + 3);
  }
  return std::string(url.substr(0, url.find('/')));
}

}  // namespace

std::optional<ProxySettings> ReadUserProxySettings() {
  const char* value = std::getenv("http_proxy");
  if (value == nullptr) value = std::getenv("HTTP_PROXY");
  if (value == nullptr) return std::nullopt;
  ProxySettings settings;
  settings.server = AddressOf(value);
  settings.enabled = !std::string_view(value).empty();
  return settings;
}

}  // namespace platform
