#include "platform/proxy_settings.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace platform {
namespace {

// How the address is cut from a URL, and an empty value, are the proxy discovery's tests
// (update_test), which set http_proxy alone.
TEST(ProxySettingsTest, UpperCaseVariableStandsInForTheLowerCaseOne) {
  unsetenv("http_proxy");
  setenv("HTTP_PROXY", "proxy.example:3128", 1);
  EXPECT_EQ(ReadUserProxySettings().value().server, "proxy.example:3128");
  setenv("http_proxy", "", 1);
  EXPECT_FALSE(ReadUserProxySettings().value().enabled);
  unsetenv("http_proxy");
  unsetenv("HTTP_PROXY");
  EXPECT_FALSE(ReadUserProxySettings().has_value());
}

}  // namespace
}  // namespace platform
