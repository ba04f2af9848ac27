#include "base/tstring.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/exception.h"

namespace {

using std::tstring;

std::vector<tstring> Lines(tstring source) {
  std::vector<tstring> lines;
  tstring line = "untouched";
  while (tstring::GetLine(source, line)) lines.push_back(line);
  EXPECT_EQ(line, lines.empty() ? tstring("untouched") : lines.back());
  return lines;
}

TEST(TstringTest, GetLine) {
  using L = std::vector<tstring>;
  EXPECT_EQ(Lines("a\r\nb\r\n"), (L{"a", "b"}));
  EXPECT_EQ(Lines("a\nb"), (L{"a", "b"}));
  EXPECT_EQ(Lines("x\r\n\r\ny"), (L{"x", "", "y"}));
  EXPECT_EQ(Lines("no break\r"), (L{"no break\r"}));
  EXPECT_EQ(Lines(""), L{});
  // Mixed break styles lose no character: a CR that is not part of a CR LF pair stays in the line.
  EXPECT_EQ(Lines("a\rb\r\nc\nd"), (L{"a\rb", "c", "d"}));
}

TEST(TstringTest, GetSplit) {
  tstring source = "a;b;";
  tstring piece;
  ASSERT_TRUE(tstring::GetSplit(source, ";", piece));
  EXPECT_EQ(piece, "a");
  ASSERT_TRUE(tstring::GetSplit(source, ";", piece));
  EXPECT_EQ(piece, "b");
  EXPECT_TRUE(source.empty());
  EXPECT_FALSE(tstring::GetSplit(source, ";", piece));
  source = "whole";
  ASSERT_TRUE(tstring::GetSplit(source, ":", piece));
  EXPECT_EQ(piece, "whole");
  EXPECT_TRUE(source.empty());
  source = "::x";
  ASSERT_TRUE(tstring::GetSplit(source, ":", piece));
  EXPECT_EQ(piece, "");
  EXPECT_EQ(source, ":x");
}

TEST(TstringTest, FormatOfAnyLength) {
  tstring text;
  const tstring long_part(5000, 'x');
  text.Format("%s-%d-%s", long_part.c_str(), 42, "end");
  EXPECT_EQ(text, long_part + "-42-end");
  EXPECT_EQ(tstring::FormatNew("file%d.dl", 3), "file3.dl");
  try {
    text.Format(nullptr);
    FAIL();
  } catch (const Exception& failure) {
    EXPECT_EQ(failure.GetText(), "std::tstring::format arguments NULL error.");
    EXPECT_TRUE(failure.IsError());
  }
  EXPECT_EQ(text, long_part + "-42-end");
}

TEST(TstringTest, SetFromData) {
  tstring text;
  const unsigned char big[] = {0xFE, 0xFF, 0x00, 0x41};
  EXPECT_TRUE(text.SetFromData(sizeof big, big));
  EXPECT_EQ(text, "A");
  const unsigned char plain[] = {0x41, 0x00, 0x42, 0x00};
  text.SetFromData(sizeof plain, plain);
  EXPECT_EQ(text, "AB");
  // A little-endian mark, Japanese text, and a zero unit that ends the text early.
  const unsigned char little[] = {0xFF, 0xFE, 0xB4, 0x30, 0xFC, 0x30, 0x00, 0x00, 0x41, 0x00};
  text.SetFromData(sizeof little, little);
  EXPECT_EQ(text, "ゴー");
  // An odd byte at the end pairs with the appended zero.
  const unsigned char odd[] = {0x41, 0x00, 0x42};
  text.SetFromData(sizeof odd, odd);
  EXPECT_EQ(text, "AB");
  const unsigned char odd_big[] = {0xFE, 0xFF, 0x00};
  try {
    text.SetFromData(sizeof odd_big, odd_big);
    FAIL();
  } catch (const Exception& failure) {
    EXPECT_EQ(failure.GetText(), "Odd data size in unicode!?");
  }
  EXPECT_EQ(text, "AB");
  text.SetFromData(0, nullptr);
  EXPECT_EQ(text, "");
}

TEST(TstringTest, TrimAndCase) {
  tstring key = "  main_image  ";
  key.TrimLeft();
  key.TrimRight();
  EXPECT_EQ(key, "main_image");
  tstring tab = "\tkey ";
  tab.TrimLeft();
  tab.TrimRight();
  EXPECT_EQ(tab, "\tkey");
  tstring blanks = "   ";
  blanks.TrimLeft();
  EXPECT_EQ(blanks, "");

  // No byte of a Japanese character changes, the letters beside them do.
  tstring mixed = "データ\\RV7.Vpk／ファイル";
  mixed.ToLower();
  EXPECT_EQ(mixed, "データ\\rv7.vpk／ファイル");
  mixed.ToUpper();
  EXPECT_EQ(mixed, "データ\\RV7.VPK／ファイル");
  EXPECT_EQ(tstring::CompareNoCase("HTTP", "http"), 0);
  EXPECT_LT(tstring::CompareNoCase("http", "https"), 0);
  EXPECT_GT(tstring::CompareNoCase("b", "A"), 0);
}

TEST(TstringTest, PathRoutines) {
  EXPECT_EQ(tstring::GetParentFolder("C:\\a\\b\\"), "C:\\a\\");
  EXPECT_EQ(tstring::GetParentFolder("C:\\"), "");
  EXPECT_EQ(tstring::GetParentFolder("C:/a/b/"), "C:\\a\\");
  EXPECT_EQ(tstring::GetFileName("dir/sub/game.exe"), "game.exe");
  EXPECT_EQ(tstring::GetFileName("game.exe"), "game.exe");

  const std::pair<const char*, const char*> specs[] = {
      {"C:\\dir\\file.txt", "C:\\dir"}, {"C:\\file", "C:\\"}, {"C:\\", "C:\\"},
      {"file", ""}, {"\\opt\\game\\RV7.EXE", "\\opt\\game"}, {"\\opt", "\\"},
      {"\\\\server\\share", "\\\\server"}, {".\\RV7.vpk", "."},
  };
  for (const auto& [path, expected] : specs) {
    tstring copy = path;
    copy.RemoveFileSpec();
    EXPECT_EQ(copy, expected) << path;
  }

  tstring folder = "C:/game";
  folder.ToBackslashes();
  folder.AddBackslash();
  folder.AddBackslash();
  EXPECT_EQ(folder, "C:\\game\\");
  folder.BackslashesToQuestionMarks();
  EXPECT_EQ(folder, "C:?game?");
  tstring trailing = "a\\\\";
  trailing.RemoveBackslash();
  EXPECT_EQ(trailing, "a\\");
}

TEST(TstringTest, ModulePathIsThisProgram) {
  const tstring path = tstring::GetModulePath();
  EXPECT_EQ(path.front(), '\\');
  EXPECT_EQ(tstring::GetFileName(path), "base_test");
}

}  // namespace
