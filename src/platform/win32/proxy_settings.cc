#include "platform/proxy_settings.h"

#include <windows.h>

namespace platform {

namespace {

// The longest server value read, its terminating zero included. A longer value is no setting the
// system's own dialog writes: it is read as none, a direct connection.
constexpr DWORD kMaxServerBytes = 2048;

}  // namespace

std::optional<ProxySettings> ReadUserProxySettings() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER,
                    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                    KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  ProxySettings settings;
  DWORD enabled = 0;
  DWORD size = sizeof enabled;
  DWORD type = 0;
  if (RegQueryValueExA(key, "ProxyEnable", nullptr, &type, reinterpret_cast<BYTE*>(&enabled),
                       &size) == ERROR_SUCCESS &&
      type == REG_DWORD) {
    settings.enabled = enabled != 0;
  }
  size = 0;
  // A proxy enabled with no server value at all, or one too long to read, is as good as none: a
  // direct connection. An empty value names no server and is kept as the user wrote it.
  if (RegQueryValueExA(key, "ProxyServer", nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      size > kMaxServerBytes) {
    settings.enabled = false;
  } else if ((type == REG_SZ || type == REG_EXPAND_SZ) && size > 0) {
    std::string server(size, '\0');
    if (RegQueryValueExA(key, "ProxyServer", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(server.data()), &size) == ERROR_SUCCESS) {
      server.resize(std::min<std::size_t>(size, server.size()));
      // Stored with its terminating zero, or sometimes without.
      while (!server.empty() && server.back() == '\0') server.pop_back();
      settings.server = server;
    }
  }
  RegCloseKey(key);
  return settings;
}

}  // namespace platform
