// The updater's GTK window on a desktop of the test's own: what it shows while downloading and
// after the run, its start button, the terminal fallback, a second copy raising the first, and
// the ways a stalled run is ended.
#include <gtest/gtest.h>
#include <signal.h>

#include "platform/path.h"
#include "platform/process_list.h"
#include "window_fixture.h"

namespace test_support {
namespace {

using SkinnedWindowTest = WindowTest;

TEST_F(SkinnedWindowTest, WhileDownloading) {
  std::optional<Background> updater;
  CheckWhileDownloading(updater);
}

// A display that cannot be opened is no desktop: the updater says why it uses the terminal, and
// the update runs there. The window then shows the completed run and starts the game.
TEST_F(SkinnedWindowTest, TerminalFallbackThenACompletedRunStartsTheGame) {
  ServeRelease();
  const ProcessResult run = RunIn(install_, "env DISPLAY=:4097 ./RV7WIN9XME.EXE", 20);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.err.rfind("RV7WIN9XME.EXE: the display \":4097\" cannot be opened; using the "
                          "terminal\n",
                          0),
            0u)
      << run.err;
  EXPECT_EQ(ReadFile(install_ / "sample-game.txt"), "Sample Game 1.1\n");
  CheckStartingTheGame();
}

// A first copy waits on a server that never answers, under another window; a second copy brings
// it up and ends, and its quit button ends it within a second all the same.
TEST_F(SkinnedWindowTest, SecondCopyRaisesTheFirstWhoseQuitEndsAStalledRun) {
  ServeNothing();
  std::optional<Background> first, cover;
  ASSERT_TRUE(Start(first, "RV7WIN9XME.EXE")) << first->Output();
  ASSERT_TRUE(Start(cover, "other.exe --stay 60", kGame));
  ASSERT_TRUE(Eventually([] { return Above(kGame, kUpdater); }, 5));

  const ProcessResult second = RunIn(install_, "./RV7WIN9XME.EXE", 20);
  EXPECT_EQ(second.status, 2) << second.out << second.err;
  EXPECT_TRUE(Eventually([] { return Above(kUpdater, kGame); }, 5));
  ShotForTheRecord("first-copy-raised");
  ClickSlot(demo::kQuitButton);
  EXPECT_EQ(first->Wait(1), 1) << first->Output();
}

// The updater's process, started from the install; 0 while there is none.
int UpdaterProcess(const std::filesystem::path& install) {
  const std::string module =
      platform::ModulePathOf(platform::ToInternalPath((install / "RV7WIN9XME.EXE").string()));
  for (const platform::ProcessInfo& process : platform::ListProcesses()) {
    if (process.module == module) return process.id;
  }
  return 0;
}

// Whichever way it is asked to end, a run stalled in a fetch ends within a second, in the window
// and on the terminal.
struct Ending {
  const char* name;
  const char* options;
  bool by_key;
};
void PrintTo(const Ending& ending, std::ostream* out) { *out << ending.name; }
class StalledRunTest : public SkinnedWindowTest, public testing::WithParamInterface<Ending> {};

TEST_P(StalledRunTest, EndsWithinASecond) {
  ServeNothing();
  const Background updater(install_, std::string("./RV7WIN9XME.EXE") + GetParam().options);
  ASSERT_TRUE(Eventually([&] { return !server_.GetRequests().empty(); })) << updater.Output();
  const int pid = UpdaterProcess(install_);
  ASSERT_NE(pid, 0);
  if (GetParam().by_key) {
    ASSERT_TRUE(Eventually([] { return Shown(kUpdater); }));
    VirtualDesktop::PressKey("alt+F4");
  } else {
    kill(pid, SIGTERM);
  }
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_TRUE(platform::WaitForProcessExit(pid, 10000));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
  EXPECT_EQ(updater.Wait(), 1) << updater.Output();
}

INSTANTIATE_TEST_SUITE_P(Endings, StalledRunTest,
                         testing::Values(Ending{"AltF4", "", true}, Ending{"Sigterm", "", false},
                                         Ending{"SigtermOnTheTerminal", " --console", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace test_support
