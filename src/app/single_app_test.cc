#include "app/single_app.h"

#include <gtest/gtest.h>

#include <chrono>

#include "app/app_test_util.h"
#include "app/window_finder.h"

namespace {

using app_test::Install;

TEST(SingleAppTest, OneCopyPerNameCaseMatters) {
  app_test::WithoutDisplay();
  SingleApp first, second, other_case;
  EXPECT_TRUE(first.Check("\\opt\\game\\RV7.EXE"));
  EXPECT_FALSE(second.Check("\\opt\\game\\RV7.EXE"));
  EXPECT_TRUE(other_case.Check("\\opt\\Game\\RV7.EXE"));
  // The mutex is the path with "?" for each backslash.
  Mutex probe;
  EXPECT_EQ(probe.Create("?opt?game?RV7.EXE"), 1);
  // An empty name stands for the running executable.
  SingleApp own;
  ASSERT_TRUE(own.Check(""));
  std::tstring name = std::tstring::GetModulePath();
  name.BackslashesToQuestionMarks();
  EXPECT_EQ(probe.Create(name), 1);
}

TEST(WindowFinderTest, WithoutDisplayProcessesAreFoundButNoWindows) {
  app_test::WithoutDisplay();
  const Install install = Install::WithGame("Game.exe");
  // Long enough to outlast the checks below on a loaded machine; the infinite wait ends with it.
  install.StartCopy("Game.exe", "3");
  Util::WindowFinder finder;
  EXPECT_FALSE(finder.HasDisplay());
  EXPECT_EQ(finder.FindWindowByModule(install.Folder().Path("Game.exe")), 0u);
  // The running test finds its own files with the letter case they have on disk.
  EXPECT_TRUE(finder.IsModuleRunning(install.Folder().Path("game.EXE")));
  EXPECT_FALSE(finder.IsModuleRunning(install.Folder().Path("Other.exe")));
  EXPECT_FALSE(finder.IsModuleRunning(""));
  EXPECT_FALSE(finder.IsModuleRunning(install.Folder().Path()));

  // The wait compares without regard to case; a time-out shows.
  EXPECT_EQ(finder.WaitForModuleExit(install.Folder().Path("GAME.EXE"), 50),
            Util::WindowFinder::kWaitTimeout);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(
      finder.WaitForModuleExit(install.Folder().Path("GAME.EXE"), Util::WindowFinder::kInfinite),
      Util::WindowFinder::kWaitEnded);
  EXPECT_GT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));
  EXPECT_EQ(finder.WaitForModuleExit(install.Folder().Path("Game.exe"), 0),
            Util::WindowFinder::kWaitEnded);
  EXPECT_EQ(finder.WaitForModuleExit("", Util::WindowFinder::kInfinite),
            Util::WindowFinder::kWaitEnded);
}

}  // namespace
