#include "base/base64.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

TEST(Base64Test, KnownTextsBothWaysAndNonCanonicalTextsRefused) {
  const std::pair<std::string_view, std::string_view> known[] = {
      {"", ""},        {"f", "Zg=="},          {"fo", "Zm8="},
      {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}, {std::string_view("\xff\xfe\x00?", 4), "//4APw=="}};
  for (const auto& [plain, text] : known) {
    EXPECT_EQ(EncodeBase64(Bytes(plain)), text);
    EXPECT_EQ(DecodeBase64(text), Bytes(plain)) << text;
  }
  for (const std::string_view bad :
       {"Zg=", "Zh==", "Zm9=", "Z===", "====", "Zm9v\n", "Zm 9v", "Zg==Zg==", "Zm-v"}) {
    EXPECT_FALSE(DecodeBase64(bad).has_value()) << bad;
  }
}

}  // namespace
