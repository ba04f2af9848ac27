// The updater's skinned window on a desktop of the test's own: what it shows while downloading
// and after the run, its buttons, a second copy raising it, and the refusal while the game's
// window is open.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
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
#include "virtual_desktop.h"

namespace test_support {
namespace {

namespace fs = std::filesystem;

// The window is centred on the 1024 x 768 screen.
constexpr int kLeft = VirtualDesktop::kWidth / 2 - demo::kSkinWidth / 2;
constexpr int kTop = VirtualDesktop::kHeight / 2 - demo::kSkinHeight / 2;

bool IsKeyColour(const Rgb& pixel) {
  return pixel == Rgb{int(demo::kKeyRed), int(demo::kKeyGreen), int(demo::kKeyBlue)};
}
bool IsDark(const Rgb& pixel) { return pixel.Brightness() < 100; }

// Screenshots of the whole screen until one shows what `ready` looks for (about ten seconds at
// most): a window draws on its own time. The last one taken.
Screenshot ShotWhen(const std::string& name, const std::function<bool(const Screenshot&)>& ready) {
  for (int attempt = 0;; ++attempt) {
    Screenshot shot(ArtifactFolder(), name);
    if ((shot.IsValid() && ready(shot)) || attempt == 40) return shot;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

int DarkInTextLine(const Screenshot& shot) {
  const demo::Slot edit = demo::kTaskEdit;
  return shot.Count(kLeft + edit.x, kTop + edit.y, edit.width, edit.height, IsDark);
}

// Whether the overall bar is full: its far end is filled, not the trough's white.
bool MainBarFull(const Screenshot& shot) {
  const demo::Slot main = demo::kMainBar;
  const Rgb end = shot.At(kLeft + main.x + main.width - 4, kTop + main.y + main.height / 2);
  return !end.Near({0xFF, 0xFF, 0xFF}, 60);
}

// The centre of a layout slot on the screen.
void ClickSlot(const demo::Slot& slot) {
  VirtualDesktop::Click(kLeft + slot.x + slot.width / 2, kTop + slot.y + slot.height / 2);
}

// A program started in the background in a folder; its exit status is kept beside the folder.
// One still running when the object goes is ended.
class Background {
 public:
  Background(const fs::path& folder, const std::string& command) {
    const std::string base = folder.string() + "-" + std::to_string(++count_);
    status_file_ = base + ".status";
    pid_file_ = base + ".pid";
    output_file_ = base + ".output";
    Run("cd '" + folder.string() + "' && (timeout 120 " + command + " >'" + output_file_.string() +
        "' 2>&1 & echo $! >'" + pid_file_.string() + "'; wait $!; echo $? >'" +
        status_file_.string() + "') 2>/dev/null &");
  }
  ~Background() {
    if (Ended()) return;
    const std::string pid = ReadFile(pid_file_);
    if (!pid.empty()) kill(std::stoi(pid), SIGTERM);
  }
  // What the program wrote, for failure messages.
  std::string Output() const { return ReadFile(output_file_); }
  // The exit status, or -1 when the program has not ended within `seconds`.
  int Wait(int seconds = 20) const {
    if (!Eventually([&] { return Ended(); }, seconds)) return -1;
    return std::stoi(ReadFile(status_file_));
  }

 private:
  bool Ended() const { return ReadFile(status_file_).find('\n') != std::string::npos; }

  static inline int count_ = 0;
  fs::path status_file_, pid_file_, output_file_;
};

class SkinnedWindowTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { desktop_ = new VirtualDesktop(); }
  static void TearDownTestSuite() {
    delete desktop_;
    desktop_ = nullptr;
  }

  void SetUp() override {
    if (!desktop_->IsRunning()) GTEST_SKIP() << "Xvfb is not installed";
    fs::create_directories(install_);
  }
  // An install of the windowed sample game with the sample skin, updating from list_url.
  void LayOut(const fs::path& folder, const std::string& list_url,
              const std::string& game = "game.exe") {
    fs::create_directories(folder);
    fs::copy_file(BinaryPath("RV7WIN9XME.EXE"), folder / "RV7WIN9XME.EXE");
    fs::copy_file(BinaryPath("sample_window_game"), folder / "game.exe");
    TempFolder content("varne-window-package");
    WriteFile(content.GetPath() / "skin.bmp", demo::SkinBmp());
    WriteFile(content.GetPath() / "dlgconfig.conf",
              demo::Utf16LeFromAscii(demo::DialogConfig("skin.bmp", game, list_url)));
    fs::copy_file(BinaryPath("rv7swap_ansi.exe"), content.GetPath() / "rv7swap_ansi.exe");
    Pack(content.GetPath(), folder / "RV7.VPK");
  }

  static platform::WindowId TopWindow() {
    platform::WindowSystem desktop;
    const auto windows = desktop.ListWindows();
    return windows.empty() ? 0 : windows.back().id;
  }
  static platform::WindowId WindowOf(const fs::path& program) {
    Util::WindowFinder finder;
    // The finder takes the program's own path notation, with backslashes.
    std::string path = program.string();
    std::replace(path.begin(), path.end(), '/', '\\');
    return finder.FindWindowByModule(path);
  }

  static VirtualDesktop* desktop_;
  TempFolder root_{"varne-window"};
  fs::path install_ = root_.GetPath() / "install";
};

VirtualDesktop* SkinnedWindowTest::desktop_ = nullptr;

// A release whose one file trickles in for about ten seconds, so that the updater stays busy.
void ServeSlowly(net_testing::ScriptedServer& server) {
  net_testing::Reply body{{"HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n"}, 100};
  for (int i = 0; i < 100; ++i) body.pieces.push_back(std::string(1000, 's'));
  server.SetReplies({{{"HTTP/1.0 200 OK\r\n\r\n1::slow.bin:100000:" + Md5Of("x") + "\r\n"}}, body});
}

// The updater started on such a release, its window shown while it downloads.
class DownloadingWindowTest : public SkinnedWindowTest {
 protected:
  void SetUp() override {
    SkinnedWindowTest::SetUp();
    if (IsSkipped()) return;
    ServeSlowly(slow_);
    LayOut(install_, "http://127.0.0.1:" + std::to_string(slow_.GetPort()) + "/list");
    first_.emplace(install_, "./RV7WIN9XME.EXE");
    ASSERT_TRUE(Eventually([&] { return WindowOf(updater_) != 0; })) << first_->Output();
  }

  net_testing::ScriptedServer slow_;
  const fs::path updater_ = install_ / "RV7WIN9XME.EXE";
  std::optional<Background> first_;
};

TEST_F(DownloadingWindowTest, ASecondCopyRaisesTheWindowAndQuitEnds) {
  const demo::Slot task = demo::kTaskBar, main = demo::kMainBar;
  const int task_mid = kTop + task.y + task.height / 2, main_mid = kTop + main.y + main.height / 2;
  const auto task_bar_partly_filled = [&](const Screenshot& shot) {
    return !shot.At(kLeft + task.x + 3, task_mid)
                .Near(shot.At(kLeft + task.x + task.width - 4, task_mid));
  };
  const Screenshot shot = ShotWhen("downloading", task_bar_partly_filled);
  ASSERT_TRUE(shot.IsValid());
  // The surround is not part of the window: the screen behind shows through the corners.
  EXPECT_EQ(shot.Count(kLeft, kTop, demo::kSkinWidth, demo::kSkinHeight, IsKeyColour), 0);
  EXPECT_FALSE(shot.At(kLeft + 1, kTop + 1).Near({0xE8, 0xC0, 0x60}, 40));
  // The skin itself: the gold rim and the title band.
  EXPECT_TRUE(shot.At(kLeft + demo::kSkinWidth / 2, kTop + 1).Near({0xE8, 0xC0, 0x60}));
  EXPECT_LT(shot.At(kLeft + 100, kTop + 15).Brightness(), 0x70);
  // The task bar is partly filled: its two ends differ. No file is done, so the overall bar's
  // ends look alike.
  EXPECT_TRUE(task_bar_partly_filled(shot));
  EXPECT_TRUE(shot.At(kLeft + main.x + 3, main_mid)
                  .Near(shot.At(kLeft + main.x + main.width - 4, main_mid)));
  // The task text is written in the text line.
  EXPECT_GT(shot.Count(kLeft + demo::kTaskEdit.x, kTop + demo::kTaskEdit.y, demo::kTaskEdit.width,
                       demo::kTaskEdit.height, IsDark),
            20);

  // The start button is disabled while the run goes on; Enter and Escape close nothing.
  ClickSlot(demo::kStartButton);
  VirtualDesktop::PressKey("Escape");
  VirtualDesktop::PressKey("Return");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(fs::exists(install_ / "game-started.txt"));
  EXPECT_NE(WindowOf(updater_), 0u);

  // Another window on top; a second copy gives up, bringing the first one's window back.
  TempFolder elsewhere("varne-window-other");
  fs::copy_file(BinaryPath("sample_window_game"), elsewhere.GetPath() / "other.exe");
  Background cover(elsewhere.GetPath(), "./other.exe --stay 30");
  ASSERT_TRUE(Eventually([&] {
    return WindowOf(elsewhere.GetPath() / "other.exe") == TopWindow() && TopWindow() != 0;
  }));
  const ProcessResult second = RunIn(install_, "./RV7WIN9XME.EXE", 20);
  EXPECT_EQ(second.status, 2) << second.out << second.err;
  EXPECT_TRUE(Eventually([&] { return TopWindow() == WindowOf(updater_); }, 5));
  Screenshot(ArtifactFolder(), "raised-by-second-copy");

  ClickSlot(demo::kQuitButton);
  EXPECT_EQ(first_->Wait(), 1);
  EXPECT_EQ(WindowOf(updater_), 0u);
}

TEST_F(DownloadingWindowTest, WindowMenuAboutBoxAndAltF4) {
  // A right click on the skin opens the window menu; its last item is the about box.
  test_support::Run("xdotool mousemove " + std::to_string(kLeft + 60) + " " +
                    std::to_string(kTop + 20) + " click 3");
  // The menu's light background lies over the dark title band at the pointer.
  const Screenshot menu = ShotWhen("window-menu", [](const Screenshot& shot) {
    return shot.At(kLeft + 100, kTop + 28).Brightness() > 200;
  });
  ASSERT_GT(menu.At(kLeft + 100, kTop + 28).Brightness(), 200);
  VirtualDesktop::PressKey("Up Return");
  // The box covers the middle of the skin, where the text line was.
  const Screenshot about =
      ShotWhen("about-box", [](const Screenshot& shot) { return DarkInTextLine(shot) < 20; });
  ASSERT_TRUE(about.IsValid());
  EXPECT_LT(DarkInTextLine(about), 20);
  VirtualDesktop::PressKey("Return");
  const Screenshot closed = ShotWhen(
      "about-box-closed", [](const Screenshot& shot) { return DarkInTextLine(shot) > 20; });
  EXPECT_GT(DarkInTextLine(closed), 20);
  EXPECT_NE(WindowOf(updater_), 0u);

  VirtualDesktop::PressKey("alt+F4");
  EXPECT_EQ(first_->Wait(), 1);
}

// The updater against a server that takes the connection and never answers: the run stalls in
// its first fetch, which no block ever arrives to interrupt.
class StalledWindowTest : public SkinnedWindowTest {
 protected:
  void SetUp() override {
    SkinnedWindowTest::SetUp();
    if (IsSkipped()) return;
    // The test takes each connection and never answers it.
    ASSERT_TRUE(stalled_.Listen(platform::kLoopbackAddress, 0));
    LayOut(install_, "http://127.0.0.1:" + std::to_string(stalled_.GetPort()) + "/list");
  }
  static int ProcessOf(const fs::path& program) {
    const std::string module = platform::ModulePathOf(platform::ToInternalPath(program.string()));
    for (const platform::ProcessInfo& process : platform::ListProcesses()) {
      if (process.module == module) return process.id;
    }
    return 0;
  }

  platform::ListeningSocket stalled_;
  const fs::path updater_ = install_ / "RV7WIN9XME.EXE";
};

TEST_F(StalledWindowTest, QuitAltF4AndSigtermEndTheProcessWithinASecond) {
  struct Way {
    const char* name;
    const char* command;
    std::function<void(int)> end;
  };
  const auto terminate = [](int pid) { kill(pid, SIGTERM); };
  const Way ways[] = {
      {"quit button", "./RV7WIN9XME.EXE", [](int) { ClickSlot(demo::kQuitButton); }},
      {"Alt+F4", "./RV7WIN9XME.EXE", [](int) { VirtualDesktop::PressKey("alt+F4"); }},
      {"SIGTERM", "./RV7WIN9XME.EXE", terminate},
      {"SIGTERM on the terminal", "./RV7WIN9XME.EXE --console", terminate},
  };
  for (const Way& way : ways) {
    const Background updater(install_, way.command);
    // The run has asked for its list, which never comes.
    const platform::Socket request = stalled_.Accept(20000);
    ASSERT_TRUE(request.IsOpen()) << way.name << updater.Output();
    if (std::string(way.command).find("--console") == std::string::npos) {
      ASSERT_TRUE(Eventually([&] { return WindowOf(updater_) != 0; })) << updater.Output();
    }
    const int pid = ProcessOf(updater_);
    ASSERT_NE(pid, 0);
    way.end(pid);
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_TRUE(platform::WaitForProcessExit(pid, 10000)) << way.name;
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - asked);
    EXPECT_LT(took.count(), 1000) << way.name;
    RecordProperty(std::string(way.name) + " (ms)", static_cast<int>(took.count()));
    EXPECT_EQ(updater.Wait(), 1) << way.name << updater.Output();
  }
}

TEST_F(SkinnedWindowTest, TerminalWhenAskedOrWithoutADesktop) {
  const std::uint16_t port = net_testing::FindFreePort();
  LayOut(install_, "http://127.0.0.1:" + std::to_string(port) + "/filelist");
  BuildSite(install_, root_.GetPath() / "site", port);
  ReleaseServer server(root_.GetPath() / "site", port);
  ProcessResult run = RunIn(install_, "./RV7WIN9XME.EXE --console", 20);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.err.find("Completed."), std::string::npos) << run.err;
  // A display that cannot be opened is no desktop, and the updater says why it uses the terminal.
  run = RunIn(install_, "env DISPLAY=:4097 ./RV7WIN9XME.EXE", 20);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.err.rfind("RV7WIN9XME.EXE: the display \":4097\" cannot be opened; using the "
                          "terminal\n",
                          0),
            0u)
      << run.err;
  EXPECT_NE(run.err.find("Completed."), std::string::npos) << run.err;
}

TEST_F(SkinnedWindowTest, CompletedRunEnablesTheStartButton) {
  const std::uint16_t port = net_testing::FindFreePort();
  LayOut(install_, "http://127.0.0.1:" + std::to_string(port) + "/filelist");
  const fs::path image = root_.GetPath() / "image", site = root_.GetPath() / "site";
  fs::copy(install_, image, fs::copy_options::recursive);
  WriteFile(image / "sample-game.txt", "Sample Game 1.1\n");
  fs::create_directories(image / "data");
  WriteFile(image / "data" / "stage1.dat", std::string(3 << 20, 'd'));
  BuildSite(image, site, port);
  ReleaseServer server(site, port);

  const Background updater(install_, "./RV7WIN9XME.EXE");
  ASSERT_TRUE(
      Eventually([&] { return ReadFile(install_ / "sample-game.txt") == "Sample Game 1.1\n"; }));
  const Screenshot shot = ShotWhen("completed", [](const Screenshot& shot) {
    return MainBarFull(shot) && DarkInTextLine(shot) > 20;
  });
  ASSERT_TRUE(shot.IsValid());
  EXPECT_EQ(shot.Count(kLeft, kTop, demo::kSkinWidth, demo::kSkinHeight, IsKeyColour), 0);
  // Every file is done: the overall bar is full from end to end; "Completed." is in the text line.
  const demo::Slot main = demo::kMainBar;
  const int main_mid = kTop + main.y + main.height / 2;
  EXPECT_TRUE(shot.At(kLeft + main.x + 3, main_mid)
                  .Near(shot.At(kLeft + main.x + main.width - 4, main_mid)));
  EXPECT_TRUE(MainBarFull(shot));
  EXPECT_GT(DarkInTextLine(shot), 20);

  ClickSlot(demo::kStartButton);
  EXPECT_EQ(updater.Wait(), 0);
  EXPECT_TRUE(Eventually([&] { return fs::exists(install_ / "game-started.txt"); }));
  EXPECT_TRUE(Eventually([&] { return WindowOf(install_ / "game.exe") != 0; }));
  Screenshot(ArtifactFolder(), "game-started");
}

TEST_F(SkinnedWindowTest, GameThatCannotStartEndsWithAnErrorBox) {
  const std::uint16_t port = net_testing::FindFreePort();
  LayOut(install_, "http://127.0.0.1:" + std::to_string(port) + "/filelist", "missing.exe");
  BuildSite(install_, root_.GetPath() / "site", port);
  ReleaseServer server(root_.GetPath() / "site", port);
  const fs::path updater = install_ / "RV7WIN9XME.EXE";
  const Background run(install_, "./RV7WIN9XME.EXE");
  ASSERT_TRUE(Eventually([&] { return WindowOf(updater) != 0; })) << run.Output();
  // Every file is current: the run completes, which enables the start button.
  ASSERT_TRUE(MainBarFull(ShotWhen("start-enabled", MainBarFull)));
  // The failure leaves the button's handler inside GTK; start-up reports it once the window is
  // gone, in a box of its own, over the skin's gold rim.
  ClickSlot(demo::kStartButton);
  const auto rim_covered = [](const Screenshot& shot) {
    return shot.Count(kLeft, kTop + demo::kStartButton.y, demo::kSkinWidth,
                      demo::kStartButton.height, [](const Rgb& pixel) {
                        return pixel.Near({0xE8, 0xC0, 0x60});
                      }) == 0;
  };
  const Screenshot box = ShotWhen("start-failed-box", rim_covered);
  ASSERT_TRUE(box.IsValid());
  EXPECT_NE(WindowOf(updater), 0u);
  EXPECT_TRUE(rim_covered(box));
  VirtualDesktop::PressKey("Return");
  EXPECT_EQ(run.Wait(), 1);
}

// A desktop with a window manager, which minimising needs.
class WindowManagerTest : public StalledWindowTest {
 protected:
  static void SetUpTestSuite() { desktop_ = new VirtualDesktop(true); }

  static bool IsMinimised(platform::WindowId id) {
    platform::WindowSystem desktop;
    for (const platform::TopLevelWindow& window : desktop.ListWindows()) {
      if (window.id == id) return window.minimised;
    }
    return false;
  }
  // Minimises the window as its own minimise button would, and waits until it is.
  static void Minimise(platform::WindowId id) {
    test_support::Run("xdotool windowminimize " + std::to_string(id));
    ASSERT_TRUE(Eventually([&] { return IsMinimised(id); }, 10));
  }
};

TEST_F(WindowManagerTest, MinimisedGameIsRestoredAfterTheInformationBox) {
  WriteFile(install_ / "sample-game.txt", "Sample Game 1.0");
  const Background game(install_, "./game.exe --stay 60");
  ASSERT_TRUE(Eventually([&] { return WindowOf(install_ / "game.exe") != 0; })) << game.Output();
  const platform::WindowId window = WindowOf(install_ / "game.exe");
  Minimise(window);

  const Background updater(install_, "./RV7WIN9XME.EXE");
  // The box is the updater's window; it says "please quit the game first" in Japanese.
  ASSERT_TRUE(Eventually([&] { return WindowOf(updater_) != 0; })) << updater.Output();
  // The box is centred on the screen: a light face with the text drawn on it.
  const auto text_drawn = [](const Screenshot& shot) {
    const auto bright = [](const Rgb& pixel) { return pixel.Brightness() > 200; };
    return shot.Count(312, 354, 400, 60, bright) > 10000 &&
           shot.Count(312, 354, 400, 60, IsDark) > 20;
  };
  const Screenshot box = ShotWhen("game-running-box", text_drawn);
  ASSERT_TRUE(box.IsValid());
  // A font with the Japanese characters is there to draw them (not as empty boxes).
  const ProcessResult fonts = RunIn(root_.GetPath(), "fc-list ':charset=30b2 30fc 30e0'", 10);
  EXPECT_NE(fonts.out, "") << "no font with the Japanese characters";
  EXPECT_TRUE(text_drawn(box));

  VirtualDesktop::PressKey("Return");
  EXPECT_EQ(updater.Wait(), 2) << updater.Output();
  EXPECT_TRUE(Eventually([&] { return !IsMinimised(window) && TopWindow() == window; }, 5));
  Screenshot(ArtifactFolder(), "game-restored");
}

TEST_F(WindowManagerTest, MinimisedFirstCopyIsRestoredByASecondCopy) {
  const Background first(install_, "./RV7WIN9XME.EXE");
  const platform::Socket request = stalled_.Accept(20000);
  ASSERT_TRUE(request.IsOpen()) << first.Output();
  ASSERT_TRUE(Eventually([&] { return WindowOf(updater_) != 0; })) << first.Output();
  const platform::WindowId window = WindowOf(updater_);
  Minimise(window);

  const ProcessResult second = RunIn(install_, "./RV7WIN9XME.EXE", 20);
  EXPECT_EQ(second.status, 2) << second.out << second.err;
  EXPECT_TRUE(Eventually([&] { return !IsMinimised(window) && TopWindow() == window; }, 5));
  Screenshot(ArtifactFolder(), "first-copy-restored");
  // Restored, it is the active window too: the window manager's Alt+F4 closes it, which ends the
  // stalled run as the quit button does.
  const int pid = ProcessOf(updater_);
  VirtualDesktop::PressKey("alt+F4");
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_TRUE(platform::WaitForProcessExit(pid, 10000));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
  EXPECT_EQ(first.Wait(), 1);
}

}  // namespace
}  // namespace test_support
