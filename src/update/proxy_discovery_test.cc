#include "update/proxy_discovery.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/posix_environment.h"

namespace {

class ProxyDiscoveryTest : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("http_proxy");
    unsetenv("HTTP_PROXY");
  }
  void TearDown() override {
    SetUp();
    std::filesystem::remove(path_);
  }

  // The proxy chosen with an "RV7.conf" of the given text (none at all for nullptr).
  std::tstring Discover(const char* conf) {
    if (conf != nullptr) std::ofstream(path_) << conf;
    ConfigBase config;
    config.Load(path_.string());
    return DiscoverProxy(config);
  }

  std::filesystem::path path_ =
      std::filesystem::temp_directory_path() / ("RV7.conf." + std::to_string(getpid()));
};

TEST_F(ProxyDiscoveryTest, ConfigurationDecidesFirst) {
  setenv("http_proxy", "http://127.0.0.1:3128/", 1);
  EXPECT_EQ(Discover("ProxyEnable=0\nProxyHost=proxy:8080\n"), "");
  EXPECT_EQ(Discover("ProxyEnable = 1\r\nProxyHost = proxy:8080\r\n"), "proxy:8080");
  // Only the exact word hands over to the user's settings; anything else is a proxy text.
  EXPECT_EQ(Discover("ProxyHost=windows\n"), "windows");
  EXPECT_EQ(Discover("ProxyHost=Windows\n"), "127.0.0.1:3128");
  EXPECT_EQ(Discover(nullptr), "127.0.0.1:3128");
}

TEST_F(ProxyDiscoveryTest, UserSettings) {
  // No settings at all, or settings that turn the proxy off: a direct connection.
  EXPECT_EQ(Discover(nullptr), "");
  setenv("http_proxy", "", 1);
  EXPECT_EQ(Discover(nullptr), "");
  // Entries per scheme: the first address alone or the first http entry, in any letter case.
  setenv("http_proxy", "ftp=f:21;HTTP=h:80;x:1", 1);
  EXPECT_EQ(Discover(nullptr), "h:80");
  setenv("http_proxy", "a:1;http=h:80", 1);
  EXPECT_EQ(Discover(nullptr), "a:1");
  // Enabled but nothing for plain HTTP: the word itself, which the client then refuses.
  setenv("http_proxy", "ftp=f:21;https=s:443", 1);
  EXPECT_EQ(Discover(nullptr), "Windows");
}

}  // namespace
