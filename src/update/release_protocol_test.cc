#include "update/release_protocol.h"

#include <gtest/gtest.h>

#include "base/singleton.h"
#include "site/install_names.h"
#include "update/testing/engine_testing.h"

namespace update_testing {
namespace {

// The publisher's settings in the game's package and the player's in "RV7.conf": the transfers
// held to 1..32, the lower of two caps, and the defaults where a setting cannot be read.
TEST(ConfiguredLimitsTest, ThePublisherAndThePlayerSetThemAndTheLowerCapHolds) {
  InstallFolder install;
  const auto limits = [] {
    const TransferLimits read = ConfiguredLimits();
    return std::pair(read.transfers, read.rate_cap);
  };
  EXPECT_EQ(limits(), std::pair(16, std::uint64_t{0}));
  install.Write("RV7.conf", "DownloadRateLimit=500000\r\n");
  EXPECT_EQ(limits(), std::pair(16, std::uint64_t{500000}));
  std::string settings = "\xFF\xFE";  // the dialog's settings are UTF-16 text
  for (const char c : std::string("serverside_connections=40\r\nserverside_ratelimit=300000\r\n")) {
    settings += {c, '\0'};
  }
  install.Write("game.vpk", TestPackage({{kDialogConfigName, settings}}).Bytes());
  Singleton<VarneFileManager>::GetInstance()->ReadPackage(install.Path("game.vpk").c_str());
  EXPECT_EQ(limits(), std::pair(32, std::uint64_t{300000}));
  install.Write("RV7.conf", "DownloadRateLimit=200000\r\n");
  EXPECT_EQ(limits(), std::pair(32, std::uint64_t{200000}));
  install.Write("RV7.conf", "DownloadRateLimit=-5\r\n");
  EXPECT_EQ(limits(), std::pair(32, std::uint64_t{300000}));
}

}  // namespace
}  // namespace update_testing
