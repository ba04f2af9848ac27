#include "platform/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/path.h"

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

TEST(ProcessTest, StartsAProgramInItsFolderWithoutRegardToCase) {
  namespace fs = std::filesystem;
  const auto folder = fs::temp_directory_path() / ("process_test_" + std::to_string(getpid()));
  fs::create_directories(folder / "Bin");
  const auto script = folder / "Bin" / "Game.sh";
  std::ofstream(script) << "#!/bin/sh\nfor a in \"$PWD\" \"$@\"; do echo \"[$a]\"; done >x\n"
                        << "mv x started.txt\n";
  chmod(script.c_str(), 0755);
  const std::string directory = ToInternalPath(folder.string());
  ASSERT_TRUE(StartProcess("bin\\GAME.SH one \"two words\"", directory));
  for (int i = 0; i < 200 && !fs::exists(folder / "started.txt"); ++i) usleep(10000);
  std::ostringstream text;
  text << std::ifstream(folder / "started.txt").rdbuf();
  EXPECT_EQ(text.str(), "[" + folder.string() + "]\n[one]\n[two words]\n");
  EXPECT_FALSE(StartProcess("missing\\game.exe", directory));
  EXPECT_FALSE(StartProcess("no-such-program-anywhere", directory));
  EXPECT_TRUE(StartProcess("true", directory));  // found along PATH
  fs::remove_all(folder);
}

}  // namespace
}  // namespace platform
