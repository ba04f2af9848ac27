// The user's own Internet proxy settings. On Windows they are the current user's Internet settings
// in the registry; on Linux the http_proxy (then HTTP_PROXY) environment variable stands in for
// them, read into the same two values.
#pragma once

#include <optional>
#include <string>

namespace platform {

struct ProxySettings {
  bool enabled = false;
  // Entries separated by ";", each an address ("host:port") or "scheme=address".
  std::string server;
};

// Nothing when the user has no settings at all (on Linux: the variable is not set).
std::optional<ProxySettings> ReadUserProxySettings();

}  // namespace platform
