#include "platform/text.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "platform/path.h"

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
  // std::filesystem reads narrow text as Latin-1: paths go through the platform layer.
  EXPECT_EQ(ToFilesystemPath(text).wstring(), L"更新ファイル\\表示 🎮 abc");
  EXPECT_EQ(FilesystemPathText(ToFilesystemPath(text)), text);
}

}  // namespace
}  // namespace platform
