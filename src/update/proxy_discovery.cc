#include "update/proxy_discovery.h"

#include "base/exception.h"
#include "platform/proxy_settings.h"

namespace {

const char kUserSettings[] = "Windows";

// The address for plain HTTP among "address" or "scheme=address" entries separated by ";": the
// first entry that is an address alone, or the first "http=" entry, whichever comes first.
// Nothing found leaves proxy as it was.
void TakeHttpAddress(std::tstring servers, std::tstring& proxy) {
  std::tstring entry;
  while (std::tstring::GetSplit(servers, ";", entry)) {
    if (entry.find('=') == std::tstring::npos) {
      proxy = entry;
      return;
    }
    std::tstring scheme;
    std::tstring::GetSplit(entry, "=", scheme);
    if (std::tstring::CompareNoCase(scheme, "http") == 0) {
      proxy = entry;
      return;
    }
  }
}

std::tstring FromUserSettings() {
  std::tstring proxy = kUserSettings;
  try {
    const auto settings = platform::ReadUserProxySettings();
    if (!settings) throw DownloadManagerException("RegOpenKeyEx", false);
    if (!settings->enabled) return {};
    TakeHttpAddress(settings->server, proxy);
  } catch (...) {
    // Settings that cannot be read never stop a run: they mean a direct connection.
    return {};
  }
  return proxy;
}

}  // namespace

std::tstring DiscoverProxy(ConfigBase& config) {
  const int enabled = config.LoadInt("ProxyEnable", 1);
  const std::tstring host = config.LoadString("ProxyHost", kUserSettings);
  if (enabled == 0) return {};
  if (host != kUserSettings) return host;
  return FromUserSettings();
}
