#include "base/hex.h"

#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <vector>

namespace {

TEST(HexTest, EveryByteBothWaysAndEveryOtherSpellingRefused) {
  std::vector<std::uint8_t> bytes(256);
  std::iota(bytes.begin(), bytes.end(), 0);
  std::vector<std::uint8_t> decoded(bytes.size());
  EXPECT_TRUE(DecodeHex(EncodeHex(bytes), decoded));
  EXPECT_EQ(decoded, bytes);
  // Two bytes wanted: only four lower-case digits will do.
  for (const std::string_view bad : {"", "abc", "abcde", "ABCD", "abCd", "ab d", "+abc", "0x12",
                                     "/000", "0:00", "00`0", "000g"}) {
    std::array<std::uint8_t, 2> two{};
    EXPECT_FALSE(DecodeHex(bad, two)) << bad;
  }
}

}  // namespace
