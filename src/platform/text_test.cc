#include "platform/text.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

// Valid text both ways is the tstring and utf8string tests' (base_test).
TEST(TextTest, InvalidInputIsReplacedNotFatal) {
  // A lone continuation byte, a cut sequence, an overlong "/" and an encoded surrogate.
  EXPECT_EQ(AnsiToWide("a\x80z"), u"a\uFFFDz");
  // How many replacement characters a broken sequence becomes is the system's choice.
  for (const char* broken : {"\xE3\x81", "\xC0\xAF", "\xED\xA0\x80"}) {
    const std::u16string wide = AnsiToWide(broken);
    EXPECT_FALSE(wide.empty()) << broken;
    EXPECT_EQ(wide.find_first_not_of(u'\uFFFD'), std::u16string::npos) << broken;
  }
  // An unpaired surrogate cannot be narrow text: the default character stands in for it.
  EXPECT_EQ(WideToAnsi(std::u16string(u"x") + char16_t(0xD800) + u"y"), "x?y");
  EXPECT_EQ(WideToUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
}

TEST(TextTest, CaseMappingTreatsEachCharacterAsOne) {
  EXPECT_EQ(ToLowerAnsi("ÄÖÜ ΣΑ ЖЁ ＡＢＣ"), "äöü σα жё ａｂｃ");
  EXPECT_EQ(ToUpperAnsi("äöü σα жё ａｂｃ"), "ÄÖÜ ΣΑ ЖЁ ＡＢＣ");
  // Kana and kanji have no case: every byte stays, although some bytes fall in the ASCII letter
  // range once the lead bits are masked off.
  const std::string japanese = "アップデート中のファイル";
  EXPECT_EQ(ToLowerAnsi(japanese), japanese);
  EXPECT_EQ(ToUpperAnsi(japanese), japanese);
  // Bytes that form no character pass through unchanged, letters around them are mapped.
  EXPECT_EQ(ToUpperAnsi("a\xFFz\xC3"), "A\xFFZ\xC3");
}

}  // namespace
}  // namespace platform
