#include "base/tstring.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using std::tstring;
using Lines = std::vector<tstring>;

// Splitting, trimming and comparing are pinned by their callers' tests (the file list, the proxy
// settings, the configuration), which a fault in any of them fails.
TEST(TstringTest, ACarriageReturnWithoutALineFeedStaysInTheLine) {
  tstring source = "a\rb\r\nc\nd", line;
  Lines lines;
  while (tstring::GetLine(source, line)) lines.push_back(line);
  EXPECT_EQ(lines, (Lines{"a\rb", "c", "d"}));
}

TEST(TstringTest, FormattedTextsHaveNoLengthLimit) {
  const tstring long_part(5000, 'x');
  EXPECT_EQ(tstring::FormatNew("%s-%d", long_part.c_str(), 42), long_part + "-42");
}

// Either byte-order mark or none (little-endian); a zero unit ends the text; an odd last byte pairs
// with an appended zero.
TEST(TstringTest, Utf16DataWithEitherByteOrderMarkOrNone) {
  const std::pair<std::vector<unsigned char>, const char*> data[] = {
      {{0xFE, 0xFF, 0x00, 0x41}, "A"},
      {{0xFF, 0xFE, 0xB4, 0x30, 0xFC, 0x30, 0x00, 0x00, 0x41, 0x00}, "ゴー"},
      {{0x41, 0x00, 0x42}, "AB"},
      {{}, ""},
  };
  for (const auto& [bytes, text] : data) {
    tstring decoded = "before";
    EXPECT_TRUE(decoded.SetFromData(bytes.size(), bytes.data()));
    EXPECT_EQ(decoded, text);
  }
}

TEST(TstringTest, PathRoutines) {
  EXPECT_EQ(tstring::GetParentFolder("C:/a/b/"), "C:\\a\\");
  EXPECT_EQ(tstring::GetParentFolder("C:\\"), "");
  EXPECT_EQ(tstring::GetFileName("dir/sub/game.exe"), "game.exe");

  const std::pair<const char*, const char*> specs[] = {
      {"C:\\dir\\file.txt", "C:\\dir"},
      {"C:\\file", "C:\\"},
      {"C:\\", "C:\\"},
      {"file", ""},
      {"\\opt\\game\\RV7.EXE", "\\opt\\game"},
      {"\\opt", "\\"},
      {"\\\\server\\share", "\\\\server"},
      {".\\RV7.vpk", "."},
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

}  // namespace
