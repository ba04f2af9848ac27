#include "platform/proxy_settings.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace platform {
namespace {

TEST(ProxySettingsTest, EnvironmentStandsInForTheUserSettings) {
  unsetenv("http_proxy");
  unsetenv("HTTP_PROXY");
  EXPECT_FALSE(ReadUserProxySettings().has_value());

  setenv("HTTP_PROXY", "http://proxy.example:3128/", 1);
  auto settings = ReadUserProxySettings();
  ASSERT_TRUE(settings.has_value());
  EXPECT_TRUE(settings->enabled);
  EXPECT_EQ(settings->server, "proxy.example:3128");

  // The lower-case variable comes first; an empty one means "no proxy".
  setenv("http_proxy", "", 1);
  settings = ReadUserProxySettings();
  ASSERT_TRUE(settings.has_value());
  EXPECT_FALSE(settings->enabled);

  setenv("http_proxy", "127.0.0.1:8118", 1);
  EXPECT_EQ(ReadUserProxySettings()->server, "127.0.0.1:8118");
  unsetenv("http_proxy");
  unsetenv("HTTP_PROXY");
}

}  // namespace
}  // namespace platform
