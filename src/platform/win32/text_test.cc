#include "platform/text.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace platform {
namespace {

// The manifest linked into every program makes UTF-8 the ANSI code page, so that every name a
// file list can hold is narrow text and no byte of a multibyte character is a backslash.
TEST(WindowsTextTest, NarrowTextIsUtf8AndRoundTrips) {
  ASSERT_EQ(GetACP(), static_cast<UINT>(CP_UTF8)) << "manifest not in effect";
  const std::string text = "更新ファイル\\表示 🎮 abc";
  EXPECT_EQ(AnsiToWide(text), u"更新ファイル\\表示 🎮 abc");
  EXPECT_EQ(WideToAnsi(AnsiToWide(text)), text);
  EXPECT_EQ(WideToUtf8(Utf8ToWide(text)), text);
  EXPECT_EQ(std::string("表").find('\\'), std::string::npos);
  // Broken input never fails: the system's replacement character stands in.
  EXPECT_EQ(AnsiToWide("a\x80"
                       "b"),
            u"a\uFFFDb");
  // An unpaired surrogate cannot be narrow text: the default character stands in for it.
  EXPECT_EQ(WideToAnsi(std::u16string(u"x") + char16_t(0xD800) + u"y"), "x?y");
  EXPECT_EQ(WideToAnsi(std::u16string(1, char16_t(0xDC00))), "?");
  EXPECT_EQ(WideToUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
}

TEST(WindowsTextTest, CaseMappingTreatsEachCharacterAsOne) {
  EXPECT_EQ(ToLowerAnsi("RV7.VPK"), "rv7.vpk");
  EXPECT_EQ(ToUpperAnsi("rv7win9xme.exe"), "RV7WIN9XME.EXE");
  EXPECT_EQ(ToLowerAnsi("ÄÖÜ ΣΑ ЖЁ ＡＢＣ"), "äöü σα жё ａｂｃ");
  EXPECT_EQ(ToUpperAnsi("äöü σα жё ａｂｃ"), "ÄÖÜ ΣΑ ЖЁ ＡＢＣ");
  const std::string japanese = "アップデート中のファイル表";
  EXPECT_EQ(ToLowerAnsi(japanese), japanese);
  EXPECT_EQ(ToUpperAnsi(japanese), japanese);
  // Bytes that form no character pass through unchanged, letters around them are mapped.
  EXPECT_EQ(ToUpperAnsi("a\xFF"
                        "b\xC3"),
            "A\xFF"
            "B\xC3");
}

}  // namespace
}  // namespace platform
