#include "platform/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/path.h"

namespace platform {
namespace {

using Args = std::vector<std::string>;

TEST(ProcessTest, SplitsCommandLinesAsWindowsDoes) {
  EXPECT_EQ(SplitCommandLine("game.exe"), (Args{"game.exe"}));
  EXPECT_EQ(SplitCommandLine("bin\\game.exe  -w  \"two words\""),
            (Args{"bin\\game.exe", "-w", "two words"}));
  EXPECT_EQ(SplitCommandLine("\"My Game\\game.exe\" a\"b c\"d"), (Args{"My Game\\game.exe", "ab cd"}));
  // Backslashes count only before a quote.
  EXPECT_EQ(SplitCommandLine("p a\\\\b \\\\\"x y\" \\\"q"), (Args{"p", "a\\\\b", "\\x y", "\"q"}));
  EXPECT_EQ(SplitCommandLine(""), (Args{""}));
}

TEST(ProcessTest, StartsAProgramInItsFolderWithoutRegardToCase) {
  const auto folder = std::filesystem::temp_directory_path() / ("process_test_" + std::to_string(getpid()));
  std::filesystem::create_directories(folder / "Bin");
  const auto script = folder / "Bin" / "Game.sh";
  std::ofstream(script) << "#!/bin/sh\npwd > started.txt\nfor a in \"$@\"; do echo \"[$a]\" >> started.txt; done\n";
  chmod(script.c_str(), 0755);
  const std::string directory = ToInternalPath(folder.string());
  ASSERT_TRUE(StartProcess("bin\\GAME.SH one \"two words\"", directory));
  std::string text;
  for (int i = 0; i < 200 && text.find("[two words]") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ostringstream read;
    read << std::ifstream(folder / "started.txt").rdbuf();
    text = read.str();
  }
  EXPECT_EQ(text, folder.string() + "\n[one]\n[two words]\n");
  EXPECT_FALSE(StartProcess("missing\\game.exe", directory));
  EXPECT_FALSE(StartProcess("no-such-program-anywhere", directory));
  EXPECT_TRUE(StartProcess("true", directory));  // found along PATH
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace platform
