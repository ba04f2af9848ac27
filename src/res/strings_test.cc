// Byte for byte, the texts that no test of the layers showing them pins.
#include "res/strings.h"

#include <gtest/gtest.h>

#include "res/historical_messages.h"

TEST(FixedTextsTest, TextsPinnedNowhereElseAreAsShipped) {
  EXPECT_EQ(std::string(kStartGameLabel) + "|" + kQuitLabel, "ゲーム起動|終了");
  EXPECT_EQ(LoadResourceString(IDP_SOCKETS_INIT_FAILED),
            "Windows ソケットの初期化に失敗しました。");
  EXPECT_EQ(std::string(kSwapperLoadError), "Data-swaper load error.");
}
