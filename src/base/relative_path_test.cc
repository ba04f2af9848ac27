#include "base/relative_path.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace {

// The one table of which paths may be installed, extracted, listed and served.
TEST(RelativePathTest, AcceptsOnlyPathsStrictlyBelowTheFolderInOneSpelling) {
  for (const char* path :
       {"a", "RV7.VPK", "data\\..x\\b", "..file\\x..y", "dir/file", ".hidden\\x.y", "CONSOLE",
        "com0.txt", "LPT10", "nul_x", "a.con", "\xe3\x82\xb2\xe3\x83\xbc\\\xe8\xb5\xb7.exe"}) {
    EXPECT_TRUE(IsSafeRelativePath(path)) << path;
  }
  const std::vector<std::vector<std::string_view>> refused = {
      {"", "..", "..\\x", "data/../../x", "sub\\..\\..\\x", "sub\\..", "\\etc\\x", "/etc/x"},
      {"\\\\server\\share\\x", "c:\\drive.txt", "c:drive.txt", "a.txt:stream"},
      {".", ".\\RV7.VPK", "a\\.\\b", "a\\\\b", "a//b", "dir\\", "dir/"},  // a second spelling
      {"a\rb", "a\nb", "tab\there", std::string_view("a\0b", 3)},
      // Names Windows cannot hold.
      {"a<b", "a>b", "say\"hi\"", "a|b", "why?", "*.txt", "...", "dir.\\x", "x \\y", "name."},
      {"CON", "nul.txt", "sub\\Aux.tar.gz", "prn .log", "com1", "COM9.x", "lpt5", "LpT1\\x"},
  };
  for (const auto& group : refused) {
    for (const std::string_view path : group) EXPECT_FALSE(IsSafeRelativePath(path)) << path;
  }
}

}  // namespace
