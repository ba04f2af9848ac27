// A copy of this test program, started in its folder, is found by its module however the path is
// spelt, and awaited. Windows need a desktop: the window tests (tests/window) meet them.
#include "app/system_processes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/testing/scratch_folder.h"

namespace {

// What the copies started below run: they mark their working folder and linger.
TEST(SystemProcessesChild, DISABLED_Linger) {
  std::ofstream("started").put('\n');
  std::this_thread::sleep_for(std::chrono::seconds(1));
}

using SystemProcessesTest = test_support::ScratchFolderTest;

TEST_F(SystemProcessesTest, StartsAProgramInItsFolderThenFindsAndAwaitsItByItsModule) {
  CopyTestProgram("Bin\\Game.exe");
  SystemProcesses processes;
  ASSERT_TRUE(processes.Start(
      "bin\\GAME.exe --gtest_also_run_disabled_tests --gtest_filter=SystemProcessesChild.*",
      Path()));
  ASSERT_TRUE(AppearsWithin("started", 10000));
  const std::string module = Path("BIN\\.\\game.EXE");
  EXPECT_TRUE(processes.IsRunning(module));
  EXPECT_FALSE(processes.WaitForExit(module, std::chrono::milliseconds(50)));
  EXPECT_TRUE(processes.WaitForExit(module, IProcessLauncher::kForever));
  EXPECT_FALSE(processes.IsRunning(module));
  EXPECT_FALSE(processes.Start("missing\\game.exe", Path()));
  EXPECT_FALSE(processes.Start("no-such-program-anywhere", Path()));
  EXPECT_FALSE(processes.Start("", Path()));
}

}  // namespace
