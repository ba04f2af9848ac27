// The Windows updater's window under Wine, on a desktop of the test's own without a window
// manager: the same skin, place and size as the GTK window, while downloading and after the run;
// the start button starts the game; a second copy raises the first; the running game's window is
// raised after the information box; Japanese captions and boxes are drawn.
//
// The Windows programs come from VARNE_WINDOWS_BIN (build-mingw/bin); without it, or without Wine,
// the tests skip. tests/windows/window_e2e.sh runs them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>

#include "../update/engine_harness.h"
#include "demo_skin.h"
#include "install_layout.h"
#include "net/testing/scripted_server.h"
#include "platform/socket.h"
#include "skin_checks.h"
#include "virtual_desktop.h"

namespace test_support {
namespace {

namespace fs = std::filesystem;

std::string Output(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

// The root's children named `name` in the X stack, from the top down, as xwininfo lists them:
// "0x... "name": (class) WIDTHxHEIGHT+X+Y ...". Without a window manager Wine's windows are the
// root's own children. The place of the first such window (-1 for none) and its geometry.
std::pair<int, std::string> Find(const std::string& name) {
  std::istringstream tree(Output("xwininfo -root -children 2>/dev/null"));
  int place = 0;
  for (std::string line; std::getline(tree, line);) {
    if (line.find(" 0x") == std::string::npos) continue;
    const size_t at = line.find("\"" + name + "\": (");
    if (at != std::string::npos) {
      std::istringstream rest(line.substr(line.find(')', at) + 1));
      std::string geometry;
      rest >> geometry;
      return {place, geometry};
    }
    ++place;
  }
  return {-1, ""};
}
// Without a window manager the keyboard goes to the window under the pointer: point at the box
// (or window) centred on the screen, then press.
void PressOnTheBox(const std::string& key) {
  test_support::Run("xdotool mousemove " + std::to_string(VirtualDesktop::kWidth / 2) + " " +
                    std::to_string(VirtualDesktop::kHeight / 2));
  VirtualDesktop::PressKey(key);
}

// The skin-sized window's geometry at (x, y), in xwininfo's form.
std::string SkinAt(int x, int y) {
  return std::to_string(demo::kSkinWidth) + "x" + std::to_string(demo::kSkinHeight) + "+" +
         std::to_string(x) + "+" + std::to_string(y);
}

// Presses the first button at (x, y), moves the pointer by (dx, dy) in two steps and lets go.
void Drag(int x, int y, int dx, int dy) {
  const auto at = [](int to_x, int to_y) {
    return "mousemove " + std::to_string(to_x) + " " + std::to_string(to_y) + " sleep 0.2 ";
  };
  test_support::Run("xdotool " + at(x, y) + "mousedown 1 sleep 0.2 " + at(x + dx / 2, y + dy / 2) +
                    at(x + dx, y + dy) + "mouseup 1");
}

// Whether a window with that title is on the screen (mapped; the list has unmapped ones too).
bool Shown(const std::string& name) {
  return !Output("xdotool search --onlyvisible --name '^" + name + "$' 2>/dev/null").empty();
}
bool Above(const std::string& upper, const std::string& lower) {
  return Shown(upper) && Shown(lower) && Find(upper).first < Find(lower).first;
}

class Win32WindowTest : public testing::Test {
 protected:
  // One desktop and one Wine prefix for all: starting a prefix is the slow part.
  static void SetUpTestSuite() {
    const char* bin = std::getenv("VARNE_WINDOWS_BIN");
    if (bin == nullptr || std::system("command -v wine >/dev/null") != 0) return;
    windows_bin_ = bin;
    desktop_ = new VirtualDesktop();
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
    delete desktop_;
    prefix_ = nullptr;
    desktop_ = nullptr;
  }
  void SetUp() override {
    if (desktop_ == nullptr) GTEST_SKIP() << "no VARNE_WINDOWS_BIN or no Wine";
    if (!desktop_->IsRunning()) GTEST_SKIP() << "Xvfb is not installed";
  }
  void TearDown() override {
    // Windows left by a failed test would cover the next test's.
    std::system("wineserver -k 2>/dev/null; wineserver -w; wineserver -p");
  }

  // Whether the sample window with that title is the active window: its own last record says.
  bool IsActive(const std::string& title) const {
    std::istringstream records(ReadFile(install_ / "game-activated.txt"));
    bool active = false;
    for (std::string line; std::getline(records, line);) {
      if (line == "activated " + title) active = true;
      if (line == "deactivated " + title) active = false;
    }
    return active;
  }

  static fs::path Artifacts() { return ArtifactFolder("window-win32"); }
  static fs::path Windows(const std::string& name) { return fs::path(windows_bin_) / name; }

  // An install of the Windows updater and the windowed sample game ("game.exe", and a copy of it
  // as "other.exe" that the updater does not know), its list at `url`.
  void LayOut(const std::string& url) {
    const fs::path& folder = install_;
    fs::create_directories(folder);
    fs::copy_file(Windows("RV7WIN9XME.EXE"), folder / "RV7WIN9XME.EXE");
    fs::copy_file(Windows("sample_window_game.exe"), folder / "game.exe");
    fs::copy_file(Windows("sample_window_game.exe"), folder / "other.exe");
    TempFolder content("varne-package-content");
    WriteFile(content.GetPath() / "dlgconfig.conf",
              demo::Utf16LeFromAscii(demo::DialogConfig("skin.bmp", "game.exe", url)));
    WriteFile(content.GetPath() / "skin.bmp", demo::SkinBmp());
    fs::copy_file(Windows("rv7swap_ansi.exe"), content.GetPath() / "rv7swap_ansi.exe");
    test_support::Run(std::string(VARNE_BINARY_DIR) + "/bin/vpk pack '" +
                      content.GetPath().string() + "' '" + (folder / "RV7.VPK").string() +
                      "' >/dev/null");
  }

  // Starts a program of the install under Wine; false when its window named `title` never came.
  bool Start(std::optional<Background>& program, const std::string& command,
             const std::string& title) {
    program.emplace(install_, "wine " + command);
    return Eventually([&] { return Shown(title); }, 30);
  }

  static std::string windows_bin_;
  static VirtualDesktop* desktop_;
  static TempFolder* prefix_;
  TempFolder root_{"varne-window-win32"};
  const fs::path install_ = root_.GetPath() / "install";
};

std::string Win32WindowTest::windows_bin_;
VirtualDesktop* Win32WindowTest::desktop_ = nullptr;
TempFolder* Win32WindowTest::prefix_ = nullptr;

constexpr char kUpdater[] = "RV7 Updater";
constexpr char kGame[] = "Sample Game";

// The updater on a release whose one file trickles in for about ten seconds.
TEST_F(Win32WindowTest, WhileDownloadingTheSkinShapeBarsAndText) {
  net_testing::ScriptedServer slow;
  net_testing::Reply body{{"HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n"}, 100};
  for (int i = 0; i < 100; ++i) body.pieces.push_back(std::string(1000, 's'));
  slow.SetReplies({{{"HTTP/1.0 200 OK\r\n\r\n1::slow.bin:100000:" + Md5Of("x") + "\r\n"}}, body});
  LayOut("http://127.0.0.1:" + std::to_string(slow.GetPort()) + "/list");
  std::optional<Background> updater;
  ASSERT_TRUE(Start(updater, "RV7WIN9XME.EXE", kUpdater)) << updater->Output();

  // The skin's size, centred on the screen: where the GTK window stands.
  EXPECT_EQ(Find(kUpdater).second, SkinAt(kLeft, kTop));
  // The task bar partly filled; no file is done, so the overall bar's ends look alike.
  const auto downloading = [](const Screenshot& shot) {
    return ShowsTheSkinsShape(shot) && !EndsAlike(shot, demo::kTaskBar) &&
           DarkInTextLine(shot) > 20;
  };
  const Screenshot shot = ShotWhen(Artifacts(), "downloading", downloading);
  ASSERT_TRUE(downloading(shot));
  EXPECT_TRUE(EndsAlike(shot, demo::kMainBar));
  EXPECT_EQ(KeyColourInSkin(shot), 0);

  // The start button is disabled during the run; Enter and Escape close nothing.
  ClickSlot(demo::kStartButton);
  VirtualDesktop::PressKey("Escape");
  VirtualDesktop::PressKey("Return");
  EXPECT_FALSE(Eventually([&] { return updater->Wait(0) != -1; }, 1));
  EXPECT_FALSE(fs::exists(install_ / "game-started.txt"));

  // The skin drags the window; back in its place, the quit button ends the run.
  Drag(kLeft + 100, kTop + 10, 50, 40);
  EXPECT_TRUE(Eventually([] { return Find(kUpdater).second == SkinAt(kLeft + 50, kTop + 40); }, 5))
      << Find(kUpdater).second;
  Drag(kLeft + 150, kTop + 50, -50, -40);
  EXPECT_TRUE(Eventually([] { return Find(kUpdater).second == SkinAt(kLeft, kTop); }, 5));
  ClickSlot(demo::kQuitButton);
  EXPECT_EQ(updater->Wait(), 1);
}

// A release with new files: the window shows the completed run, with the start button's Japanese
// caption, and the button starts the game and ends the updater.
TEST_F(Win32WindowTest, CompletedRunStartsTheGame) {
  const std::uint16_t port = net_testing::FindFreePort();
  LayOut("http://127.0.0.1:" + std::to_string(port) + "/filelist");
  const fs::path image = root_.GetPath() / "image", site = root_.GetPath() / "site";
  fs::copy(install_, image, fs::copy_options::recursive);
  WriteFile(image / "sample-game.txt", "Sample Game 1.1\n");
  WriteFile(image / "data" / "stage1.dat", std::string(3 << 20, 'd'));
  BuildSite(image, site, port);
  const ReleaseServer server(site, port);

  std::optional<Background> updater;
  ASSERT_TRUE(Start(updater, "RV7WIN9XME.EXE", kUpdater)) << updater->Output();
  const auto completed = [](const Screenshot& shot) {
    return ShowsTheSkinsShape(shot) && MainBarFull(shot) && DarkInTextLine(shot) > 20;
  };
  const Screenshot shot = ShotWhen(Artifacts(), "completed", completed);
  EXPECT_TRUE(completed(shot));
  EXPECT_EQ(KeyColourInSkin(shot), 0);
  // The buttons' Japanese captions, enabled: whole glyphs have about three times the dark pixels
  // of the empty boxes a font without them draws (174 and 70 against 50 and 20).
  EXPECT_GT(DarkInSlot(shot, demo::kStartButton), 100);
  EXPECT_GT(DarkInSlot(shot, demo::kQuitButton), 40);  // "ゲーム起動", enabled
  EXPECT_EQ(ReadFile(install_ / "data" / "stage1.dat"), std::string(3 << 20, 'd'));

  ClickSlot(demo::kStartButton);
  EXPECT_EQ(updater->Wait(), 0) << updater->Output();
  EXPECT_TRUE(Eventually([&] { return Shown(kGame); }, 20));
  EXPECT_EQ(ReadFile(install_ / "game-started.txt"), "started\n");
  Screenshot(Artifacts(), "game-started");
}

// A first copy waits on a server that never answers. A second copy brings its window up from
// under another window and ends; once the first has gone, the running game makes the updater show
// its Japanese information box and then brings the game up from under another window.
TEST_F(Win32WindowTest, SecondCopyAndRunningGameRaiseTheirWindows) {
  platform::ListeningSocket stalled;
  ASSERT_TRUE(stalled.Listen(platform::kLoopbackAddress, 0));
  LayOut("http://127.0.0.1:" + std::to_string(stalled.GetPort()) + "/list");
  std::optional<Background> first, cover, game, second_cover, updater;
  ASSERT_TRUE(Start(first, "RV7WIN9XME.EXE", kUpdater)) << first->Output();
  ASSERT_TRUE(Start(cover, "other.exe --stay 60 --title Cover", "Cover"));
  ASSERT_TRUE(Above("Cover", kUpdater));

  const ProcessResult second = RunIn(install_, "wine RV7WIN9XME.EXE", 30);
  EXPECT_EQ(second.status, 2) << second.out << second.err;
  EXPECT_TRUE(Eventually([] { return Above(kUpdater, "Cover"); }, 5));
  Screenshot(Artifacts(), "first-copy-raised");
  PressOnTheBox("alt+F4");  // the close command, as the quit button
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
  EXPECT_TRUE(text_drawn(ShotWhen(Artifacts(), "game-running-box", text_drawn)));
  PressOnTheBox("Return");
  EXPECT_EQ(updater->Wait(), 2) << updater->Output();
  // Wine without a window manager activates the game without restacking it, so the activation
  // the sample windows record is what shows the updater found the game's window (the window on
  // top, not the game, would be active otherwise once the box has gone).
  EXPECT_TRUE(Eventually([&] { return IsActive(kGame); }, 5));
  Screenshot(Artifacts(), "game-raised");
}

}  // namespace
}  // namespace test_support
