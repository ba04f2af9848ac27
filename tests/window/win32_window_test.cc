// The Windows updater's window under Wine, checked as the GTK window is, and besides: dragging the
// skin moves it; the running game's window is activated after the information box; Japanese
// captions and boxes are drawn. The Windows programs come from VARNE_WINDOWS_BIN (build-mingw/bin);
// without it, or without Wine, the tests skip. scripts/test_windows.sh runs them.
#include <gtest/gtest.h>

#include <cstdlib>

#include "window_fixture.h"

namespace test_support {
namespace {

class Win32WindowTest : public WindowTest {
 protected:
  // One desktop and one Wine prefix for all: starting a prefix is the slow part. Without the
  // Windows programs or Wine there is no desktop, and the tests skip.
  static void SetUpTestSuite() {
    if (!OnWine() || std::system("command -v wine >/dev/null") != 0) return;
    WindowTest::SetUpTestSuite();
    prefix_ = new TempFolder("varne-wine-window");
    setenv("WINEPREFIX", prefix_->GetPath().c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    test_support::Run("wineboot --init >/dev/null 2>&1 && (wineserver -p || true)");
    // Windows has the dialogs' "MS UI Gothic"; Wine draws it with the Japanese font of the system.
    // With no window manager to draw frames and captions, Wine draws them itself, as Windows does.
    test_support::Run(
        "wine reg add 'HKCU\\Software\\Wine\\Fonts\\Replacements' /v 'MS UI Gothic' /t REG_SZ "
        "/d IPAGothic /f >/dev/null 2>&1 && wine reg add 'HKCU\\Software\\Wine\\X11 Driver' "
        "/v Decorated /t REG_SZ /d N /f >/dev/null 2>&1");
  }
  static void TearDownTestSuite() {
    if (prefix_ != nullptr) std::system("wineserver -k 2>/dev/null");
    delete prefix_;
    prefix_ = nullptr;
    WindowTest::TearDownTestSuite();
  }
  void TearDown() override {
    // Windows left by a failed test would cover the next test's.
    std::system("wineserver -k 2>/dev/null; wineserver -w; wineserver -p");
  }

  static inline TempFolder* prefix_ = nullptr;
};

TEST_F(Win32WindowTest, WhileDownloadingAndDraggingTheSkin) {
  std::optional<Background> updater;
  CheckWhileDownloading(updater);
  // Pressed on the title band, the skin drags the window along.
  test_support::Run(
      "xdotool mousemove " + std::to_string(kLeft + 100) + " " + std::to_string(kTop + 10) +
      " sleep 0.2 mousedown 1 sleep 0.2 mousemove_relative 25 20 sleep 0.2 mousemove_relative 25 "
      "20 sleep 0.2 mouseup 1");
  EXPECT_TRUE(Eventually([] { return GeometryOf(kUpdater) == SkinAt(kLeft + 50, kTop + 40); }, 5))
      << GeometryOf(kUpdater);
}

// The completed run with the buttons' Japanese captions, enabled: whole glyphs have about three
// times the dark pixels of the empty boxes a font without them draws (174 and 70 against 50 and
// 20).
TEST_F(Win32WindowTest, CompletedRunStartsTheGame) {
  ServeRelease();
  const Screenshot shot = CheckStartingTheGame();
  EXPECT_GT(DarkInSlot(shot, demo::kStartButton), 100);  // "ゲーム起動"
  EXPECT_GT(DarkInSlot(shot, demo::kQuitButton), 40);
}

// A first copy waits on a server that never answers. A second copy brings its window up from
// under another window and ends; once the first has gone, the running game makes the updater show
// its Japanese information box and then brings the game up from under another window.
TEST_F(Win32WindowTest, SecondCopyAndRunningGameRaiseTheirWindows) {
  ServeNothing();
  std::optional<Background> first, cover, game, second_cover, updater;
  ASSERT_TRUE(Start(first, "RV7WIN9XME.EXE")) << first->Output();
  ASSERT_TRUE(Start(cover, "other.exe --stay 60 --title Cover", "Cover"));
  ASSERT_TRUE(Above("Cover", kUpdater));

  const ProcessResult second = RunIn(install_, "wine RV7WIN9XME.EXE", 30);
  EXPECT_EQ(second.status, 2) << second.out << second.err;
  EXPECT_TRUE(Eventually([] { return Above(kUpdater, "Cover"); }, 5));
  ShotForTheRecord("first-copy-raised");
  VirtualDesktop::PressKey("alt+F4");  // the close command, as the quit button
  EXPECT_EQ(first->Wait(), 1);

  ASSERT_TRUE(Start(game, "game.exe --stay 60", kGame));
  ASSERT_TRUE(Start(second_cover, "other.exe --stay 60 --title 'Second cover'", "Second cover"));
  ASSERT_TRUE(Above("Second cover", kGame));
  // The box is centred on the screen: a light face with the Japanese text ("please quit the game
  // first") drawn on it, in whole glyphs (467 dark pixels; empty boxes would give about 200).
  updater.emplace(install_, "wine RV7WIN9XME.EXE");
  const auto text_drawn = [](const Screenshot& shot) {
    const auto bright = [](const Rgb& pixel) { return pixel.Brightness() > 200; };
    return shot.Count(380, 362, 260, 30, bright) > 6000 &&
           shot.Count(380, 362, 260, 30, IsDark) > 300;
  };
  EXPECT_TRUE(text_drawn(ShotWhen("game-running-box", text_drawn)));
  VirtualDesktop::PressKey("Return");
  EXPECT_EQ(updater->Wait(), 2) << updater->Output();
  // The game comes to the top, over the window that covered it, and is the active one: its last
  // record is an activation, not a deactivation.
  EXPECT_TRUE(Eventually([] { return Above(kGame, "Second cover"); }, 5));
  const auto game_active = [&] {
    const std::string records = ReadFile(install_ / "game-activated.txt");
    const size_t last = records.rfind(std::string("activated ") + kGame + "\n");
    return last != std::string::npos && (last < 2 || records.compare(last - 2, 2, "de") != 0);
  };
  EXPECT_TRUE(Eventually(game_active, 5));
  ShotForTheRecord("game-raised");
}

// A game whose only window is hidden (in the tray, or while it loads) runs all the same: the
// updater refuses to start under it.
TEST_F(Win32WindowTest, AGameWithOnlyAHiddenWindowRuns) {
  ServeNothing();
  const Background game(install_, "wine game.exe --stay 60 --hidden");
  ASSERT_TRUE(
      Eventually([&] { return std::filesystem::exists(install_ / "game-started.txt"); }, 30));
  const ProcessResult run = RunIn(install_, "wine RV7WIN9XME.EXE --console", 30);
  EXPECT_EQ(run.status, 2) << run.out << run.err;
}

}  // namespace
}  // namespace test_support
