#include "platform/process.h"

#include <gtest/gtest.h>

#include "platform/testing/scratch_folder.h"

namespace platform {
namespace {

using Args = std::vector<std::string>;

TEST(ProcessTest, SplitsCommandLinesAsWindowsDoes) {
  // Backslashes count only before a quote.
  const std::pair<const char*, Args> lines[] = {
      {"", {""}},
      {"bin\\game.exe  -w  \"two words\"", {"bin\\game.exe", "-w", "two words"}},
      {"\"My Game\\game.exe\" a\"b c\"d", {"My Game\\game.exe", "ab cd"}},
      {"p a\\\\b \\\\\"x y\" \\\"q", {"p", "a\\\\b", "\\x y", "\"q"}},
  };
  for (const auto& [line, args] : lines) EXPECT_EQ(SplitCommandLine(line), args) << line;
}

using StartProcessTest = test_support::ScratchFolderTest;

// The arguments a program gets are the dialog's tests (ui_test), which start the game.
TEST_F(StartProcessTest, StartsAProgramInItsFolderWithoutRegardToCase) {
  CopyTestProgram("Bin\\Game.exe");
  // gtest writes its report into the working folder: proof of the folder.
  ASSERT_TRUE(StartProcess("bin\\GAME.EXE --gtest_filter=None \"--gtest_output=xml:started 1.xml\"",
                           Path()));
  EXPECT_TRUE(AppearsWithin("started 1.xml", 10));
  EXPECT_FALSE(StartProcess("missing\\game.exe", Path()));
  EXPECT_FALSE(StartProcess("no-such-program-anywhere", Path()));
  EXPECT_FALSE(StartProcess("", Path()));
}

}  // namespace
}  // namespace platform
