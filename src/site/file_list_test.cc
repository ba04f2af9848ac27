#include "site/file_list.h"

#include <gtest/gtest.h>

#include "storage/testing/storage_test_util.h"

namespace {

// The text of the failure to parse text; a refused list is left empty.
std::string ParseError(const std::tstring& text) {
  FileList list;
  const std::string error = ErrorOf([&] { ParseFileList(text, list); });
  EXPECT_TRUE(error.empty() || list.empty());
  return error;
}

// Entries come back with every byte they were parsed or added with, whatever their lengths and
// first two fields, the fifth field the rest of its line, across the list's blocks of text and
// across appended lists.
TEST(FileListTest, EntriesReadBackAsGivenAcrossBlocksAndAppends) {
  std::vector<FileEntry> expected{{"first", "", ""}};
  std::tstring text;
  // Lengths on both sides of 128 and 16384, where a length takes another byte.
  for (int i = 0; text.size() < (3 << 20); ++i) {
    expected.push_back({"d\\" + std::string(i * 37 % 17000, 'p') + std::to_string(i),
                        i % 3 ? std::to_string(i) : std::string(200, '9'),
                        "x:y\r" + std::string(1, '\0') + std::to_string(i)});
    const FileEntry& e = expected.back();
    text += (i % 3 ? "1::" : "x:note:") + e.path + ":" + e.orgsize + ":" + e.md5 +
            (i % 2 ? "\r\n" : "\n");
  }
  FileList list = {expected.front()}, appended;
  ParseFileList(text, list);
  appended.Append(std::move(list));
  appended.push_back(expected.emplace_back(FileEntry{"last", "1", "d"}));
  EXPECT_TRUE(list.empty());
  ASSERT_EQ(appended.size(), expected.size());
  std::size_t i = 0;
  for (const FileEntry& entry : appended) {
    EXPECT_EQ(entry.path + "|" + entry.orgsize + "|" + entry.md5,
              expected[i].path + "|" + expected[i].orgsize + "|" + expected[i].md5);
    ++i;
  }
}

// A bad line refuses the whole list, so nothing is downloaded before it is seen.
TEST(FileListTest, RefusesMalformedLinesAndPathsThatCannotBeInstalled) {
  const char* bad[] = {
      "\r\n",                      // a blank line
      "1::a:2:d\r\n\r\n1::b:2:e",  // a blank line inside the list
      "1::a:2",                    // four fields
      ":x:a:2:d",                  // empty marker
      "1::a::d",                   // empty size
      "1:::2:d",                   // empty path
      "1::a:2:",                   // empty digest
      "1::a:2:d\r\n1::..\\b:2:e",  // leaves the install folder
      "1::.\\:2:d",                // nothing left once "." goes
      "1::a\\.:2:d",               // a trailing separator once "." goes
      "1::\\\\srv\\a:2:d",         // still absolute with the doubled separator made single
  };
  for (const char* text : bad) {
    EXPECT_EQ(ParseError(text), "DownloadManager : List file error.") << text;
  }
  EXPECT_EQ(ParseError("1::a:2:d"), "");
  // "." components and doubled separators go before the checks: the list names each file once.
  FileList list;
  ParseFileList("1::.\\RV7.VPK:2:d\r\n1::data\\\\.\\a.txt:2:d\r\n1::x//y/./z:1:e", list);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].path + "|" + list[1].path + "|" + list[2].path, "RV7.VPK|data\\a.txt|x/y/z");
  // The server knows each file by the list's own spelling.
  EXPECT_EQ(list[0].Listed() + "|" + list[1].Listed() + "|" + list[2].Listed(),
            ".\\RV7.VPK|data\\\\.\\a.txt|x//y/./z");
}

// Where the size is vouched for it bounds a download and must equal the installed file's, so only
// plain digits count.
TEST(FileListTest, SizeFieldIsANumberOnlyWhenItIsAtMostNineteenDigits) {
  EXPECT_EQ(OrgSizeOf({"a", "0", "d"}), 0u);
  EXPECT_EQ(OrgSizeOf({"a", "0042", "d"}), 42u);
  EXPECT_EQ(OrgSizeOf({"a", "9999999999999999999", "d"}), 9'999'999'999'999'999'999u);
  for (const char* text : {"10000000000000000000", "?", "+5", "-5", " 5", "5 ", "0x10", "1e3"}) {
    EXPECT_EQ(OrgSizeOf({"a", text, "d"}), std::nullopt) << text;
  }
}

}  // namespace
