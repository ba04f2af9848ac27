#include "platform/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/path.h"
#include "platform/testing/scratch_folder.h"

namespace platform {
namespace {

TEST(ProcessTest, StartsAProgramInItsFolderWithoutRegardToCase) {
  namespace fs = std::filesystem;
  const test_support::TempFolder scratch("varne-process");
  const fs::path folder = scratch.GetPath(), script = folder / "Bin" / "Game.sh";
  test_support::WriteFile(
      script, "#!/bin/sh\nfor a in \"$PWD\" \"$@\"; do echo \"[$a]\"; done >x\nmv x started.txt\n");
  chmod(script.c_str(), 0755);
  const std::string directory = ToInternalPath(folder.string());
  ASSERT_TRUE(StartProcess("bin\\GAME.SH one \"two words\"", directory));
  for (int i = 0; i < 200 && !fs::exists(folder / "started.txt"); ++i) usleep(10000);
  EXPECT_EQ(test_support::ReadFile(folder / "started.txt"),
            "[" + folder.string() + "]\n[one]\n[two words]\n");
  EXPECT_FALSE(StartProcess("missing\\game.exe", directory));
  EXPECT_FALSE(StartProcess("no-such-program-anywhere", directory));
  EXPECT_TRUE(StartProcess("true", directory));  // found along PATH
}

}  // namespace
}  // namespace platform
