// The updater's skinned window on a desktop of the test's own: what it shows while downloading and
// after the run, its buttons, how soon it ends while stalled, the terminal fallback, and, with a
// window manager, the minimised window of the game or of the first copy brought back.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include "../update/engine_harness.h"
#include "app/window_finder.h"
#include "demo_skin.h"
#include "install_layout.h"
#include "net/testing/scripted_server.h"
#include "platform/desktop_windows.h"
#include "platform/path.h"
#include "platform/process_list.h"
#include "platform/socket.h"
#include "skin_checks.h"
#include "virtual_desktop.h"

namespace test_support {
namespace {

namespace fs = std::filesystem;

Screenshot ShotWhen(const std::string& name, const std::function<bool(const Screenshot&)>& ready) {
  return test_support::ShotWhen(ArtifactFolder(), name, ready);
}

// The finder takes the program's own path notation, with backslashes.
platform::WindowId WindowOf(const fs::path& program) {
  return Util::WindowFinder().FindWindowByModule(platform::ToInternalPath(program.string()));
}
platform::WindowId TopWindow() {
  const auto windows = platform::WindowSystem().ListWindows();
  return windows.empty() ? 0 : windows.back().id;
}
int ProcessOf(const fs::path& program) {
  const std::string module = platform::ModulePathOf(platform::ToInternalPath(program.string()));
  for (const platform::ProcessInfo& process : platform::ListProcesses()) {
    if (process.module == module) return process.id;
  }
  return 0;
}

class SkinnedWindowTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { desktop_ = new VirtualDesktop(); }
  static void TearDownTestSuite() {
    delete desktop_;
    desktop_ = nullptr;
  }
  void SetUp() override {
    if (!desktop_->IsRunning()) GTEST_SKIP() << "Xvfb is not installed";
  }

  // An install of the windowed sample game with the sample skin, its list on `port` at `path`.
  void LayOut(std::uint16_t port, const std::string& path, const std::string& extra_config = "") {
    LayOutInstall(install_, "http://127.0.0.1:" + std::to_string(port) + path, true, extra_config,
                  "sample_window_game");
  }
  // Such an install and a release of it served, with `extra` files.
  void ServeRelease(const Snapshot& extra = {}, const std::string& extra_config = "") {
    const std::uint16_t port = net_testing::FindFreePort();
    LayOut(port, "/filelist", extra_config);
    const fs::path image = root_.GetPath() / "image", site = root_.GetPath() / "site";
    fs::copy(install_, image, fs::copy_options::recursive);
    for (const auto& [name, bytes] : extra) {
      WriteFile(image / name, bytes);
    }
    BuildSite(image, site, port);
    server_.emplace(site, port);
  }
  // Starts the updater with its window; false when no window came.
  bool StartWindow(std::optional<Background>& updater) {
    updater.emplace(install_, "./RV7WIN9XME.EXE");
    return Eventually([&] { return WindowOf(updater_) != 0; });
  }

  static VirtualDesktop* desktop_;
  TempFolder root_{"varne-window"};
  const fs::path install_ = root_.GetPath() / "install";
  const fs::path updater_ = install_ / "RV7WIN9XME.EXE";
  std::optional<ReleaseServer> server_;
};

VirtualDesktop* SkinnedWindowTest::desktop_ = nullptr;

// The updater on a release whose one file trickles in for about ten seconds.
TEST_F(SkinnedWindowTest, WhileDownloadingSkinBarsAndQuit) {
  net_testing::ScriptedServer slow;
  net_testing::Reply body{{"HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n"}, 100};
  for (int i = 0; i < 100; ++i) body.pieces.push_back(std::string(1000, 's'));
  slow.SetReplies({{{"HTTP/1.0 200 OK\r\n\r\n1::slow.bin:100000:" + Md5Of("x") + "\r\n"}}, body});
  LayOut(slow.GetPort(), "/list");
  std::optional<Background> updater;
  ASSERT_TRUE(StartWindow(updater)) << updater->Output();

  // The task bar partly filled; no file is done, so the overall bar's ends look alike.
  const auto downloading = [](const Screenshot& shot) { return !EndsAlike(shot, demo::kTaskBar); };
  const Screenshot shot = ShotWhen("downloading", downloading);
  ASSERT_TRUE(downloading(shot));
  EXPECT_TRUE(EndsAlike(shot, demo::kMainBar));
  EXPECT_GT(DarkInTextLine(shot), 20);  // the task text
  // The surround is not part of the window: the screen behind shows through the corners. The skin
  // itself: the gold rim and the dark title band.
  EXPECT_EQ(KeyColourInSkin(shot), 0);
  EXPECT_TRUE(ShowsTheSkinsShape(shot));

  // The start button is disabled while the run goes on; Enter and Escape close nothing.
  ClickSlot(demo::kStartButton);
  VirtualDesktop::PressKey("Escape");
  VirtualDesktop::PressKey("Return");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(fs::exists(install_ / "game-started.txt"));

  ClickSlot(demo::kQuitButton);
  EXPECT_EQ(updater->Wait(), 1);
  EXPECT_EQ(WindowOf(updater_), 0u);
}

// A display that cannot be opened is no desktop: the updater says why it uses the terminal, and
// the update runs there. The window then shows the completed run and starts the game.
TEST_F(SkinnedWindowTest, TerminalFallbackThenACompletedRunStartsTheGame) {
  ServeRelease(
      {{"sample-game.txt", "Sample Game 1.1\n"}, {"data/stage1.dat", std::string(3 << 20, 'd')}});
  const ProcessResult run = RunIn(install_, "env DISPLAY=:4097 ./RV7WIN9XME.EXE", 20);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.err.rfind("RV7WIN9XME.EXE: the display \":4097\" cannot be opened; using the "
                          "terminal\n",
                          0),
            0u)
      << run.err;
  EXPECT_NE(run.err.find("Completed."), std::string::npos) << run.err;
  EXPECT_EQ(ReadFile(install_ / "sample-game.txt"), "Sample Game 1.1\n");

  // Every file is done: the overall bar is full; "Completed." is in the text line.
  std::optional<Background> updater;
  ASSERT_TRUE(StartWindow(updater)) << updater->Output();
  const auto completed = [](const Screenshot& shot) {
    return MainBarFull(shot) && DarkInTextLine(shot) > 20;
  };
  EXPECT_TRUE(completed(ShotWhen("completed", completed)));

  ClickSlot(demo::kStartButton);
  EXPECT_EQ(updater->Wait(), 0);
  EXPECT_TRUE(Eventually([&] { return WindowOf(install_ / "game.exe") != 0; }));
  Screenshot(ArtifactFolder(), "game-started");
}

TEST_F(SkinnedWindowTest, GameThatCannotStartEndsWithAnErrorBox) {
  ServeRelease({}, "runfilename=missing.exe\r\n");
  std::optional<Background> updater;
  ASSERT_TRUE(StartWindow(updater)) << updater->Output();
  // Every file is current: the run completes, which enables the start button.
  ASSERT_TRUE(MainBarFull(ShotWhen("start-enabled", MainBarFull)));
  // The failure leaves the button's handler inside GTK; start-up reports it once the window is
  // gone, in a box of its own, over the skin's gold rim.
  ClickSlot(demo::kStartButton);
  const auto rim_covered = [](const Screenshot& shot) {
    return shot.Count(kLeft, kTop + demo::kStartButton.y, demo::kSkinWidth,
                      demo::kStartButton.height,
                      [](const Rgb& pixel) { return pixel.Near(kGold); }) == 0;
  };
  EXPECT_TRUE(rim_covered(ShotWhen("start-failed-box", rim_covered)));
  EXPECT_NE(WindowOf(updater_), 0u);
  VirtualDesktop::PressKey("Return");
  EXPECT_EQ(updater->Wait(), 1);
}

// The updater against a server that takes the connection and never answers: the run stalls in
// its first fetch, which no block ever arrives to interrupt.
class StalledWindowTest : public SkinnedWindowTest {
 protected:
  void SetUp() override {
    SkinnedWindowTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(stalled_.Listen(platform::kLoopbackAddress, 0));
    LayOut(stalled_.GetPort(), "/list");
  }
  platform::ListeningSocket stalled_;
};

TEST_F(StalledWindowTest, QuitAltF4AndSigtermEndTheProcessWithinASecond) {
  const auto terminate = [](int pid) { kill(pid, SIGTERM); };
  const struct {
    const char* name;
    bool window;
    std::function<void(int)> end;
  } ways[] = {
      {"quit button", true, [](int) { ClickSlot(demo::kQuitButton); }},
      {"Alt+F4", true, [](int) { VirtualDesktop::PressKey("alt+F4"); }},
      {"SIGTERM", true, terminate},
      {"SIGTERM on the terminal", false, terminate},
  };
  for (const auto& way : ways) {
    const Background updater(install_,
                             way.window ? "./RV7WIN9XME.EXE" : "./RV7WIN9XME.EXE --console");
    // The run has asked for its list, which never comes.
    const platform::Socket request = stalled_.Accept(20000);
    ASSERT_TRUE(request.IsOpen()) << way.name << updater.Output();
    if (way.window) {
      ASSERT_TRUE(Eventually([&] { return WindowOf(updater_) != 0; }));
    }
    const int pid = ProcessOf(updater_);
    ASSERT_NE(pid, 0);
    way.end(pid);
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_TRUE(platform::WaitForProcessExit(pid, 10000)) << way.name;
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1)) << way.name;
    EXPECT_EQ(updater.Wait(), 1) << way.name << updater.Output();
  }
}

// A desktop with a window manager, which minimising needs.
class WindowManagerTest : public StalledWindowTest {
 protected:
  static void SetUpTestSuite() { desktop_ = new VirtualDesktop(true); }

  static bool IsMinimised(platform::WindowId id) {
    for (const platform::TopLevelWindow& window : platform::WindowSystem().ListWindows()) {
      if (window.id == id) return window.minimised;
    }
    return false;
  }
  // Minimises the window as its own minimise button would, and waits until it is.
  static void Minimise(platform::WindowId id) {
    test_support::Run("xdotool windowminimize " + std::to_string(id));
    ASSERT_TRUE(Eventually([&] { return IsMinimised(id); }, 10));
  }
  static bool RestoredOnTop(platform::WindowId id) {
    return Eventually([&] { return !IsMinimised(id) && TopWindow() == id; }, 5);
  }
};

TEST_F(WindowManagerTest, MinimisedGameIsRestoredAfterTheInformationBox) {
  const Background game(install_, "./game.exe --stay 60");
  ASSERT_TRUE(Eventually([&] { return WindowOf(install_ / "game.exe") != 0; })) << game.Output();
  const platform::WindowId window = WindowOf(install_ / "game.exe");
  Minimise(window);

  // The box is the updater's window, centred on the screen: a light face with the Japanese text
  // ("please quit the game first") drawn on it.
  std::optional<Background> updater;
  ASSERT_TRUE(StartWindow(updater)) << updater->Output();
  const auto text_drawn = [](const Screenshot& shot) {
    const auto bright = [](const Rgb& pixel) { return pixel.Brightness() > 200; };
    return shot.Count(312, 354, 400, 60, bright) > 10000 &&
           shot.Count(312, 354, 400, 60, IsDark) > 20;
  };
  EXPECT_TRUE(text_drawn(ShotWhen("game-running-box", text_drawn)));
  VirtualDesktop::PressKey("Return");
  EXPECT_EQ(updater->Wait(), 2) << updater->Output();
  EXPECT_TRUE(RestoredOnTop(window));
  Screenshot(ArtifactFolder(), "game-restored");
}

TEST_F(WindowManagerTest, MinimisedFirstCopyIsRestoredByASecondCopy) {
  std::optional<Background> first;
  ASSERT_TRUE(StartWindow(first)) << first->Output();
  const platform::WindowId window = WindowOf(updater_);
  Minimise(window);

  const ProcessResult second = RunIn(install_, "./RV7WIN9XME.EXE", 20);
  EXPECT_EQ(second.status, 2) << second.out << second.err;
  EXPECT_TRUE(RestoredOnTop(window));
  Screenshot(ArtifactFolder(), "first-copy-restored");
  ClickSlot(demo::kQuitButton);
  EXPECT_EQ(first->Wait(), 1);
}

}  // namespace
}  // namespace test_support
