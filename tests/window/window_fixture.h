// What the window tests share, whichever toolkit draws the updater's window: what a screenshot
// must show (the demo skin centred on the 1024 x 768 screen, its key colour cut away, the bars,
// the text line and buttons in the skin's slots), and an install served by a release, slowly, or
// by a server that never answers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "demo_skin.h"
#include "net/testing/scripted_server.h"
#include "support/engine_harness.h"
#include "support/install_layout.h"
#include "virtual_desktop.h"

namespace test_support {

inline constexpr int kLeft = VirtualDesktop::kWidth / 2 - demo::kSkinWidth / 2;
inline constexpr int kTop = VirtualDesktop::kHeight / 2 - demo::kSkinHeight / 2;
inline constexpr Rgb kGold{0xE8, 0xC0, 0x60};
inline constexpr char kUpdater[] = "RV7 Updater";
inline constexpr char kGame[] = "Sample Game";

inline bool IsKeyColour(const Rgb& pixel) {
  return pixel == Rgb{int(demo::kKeyRed), int(demo::kKeyGreen), int(demo::kKeyBlue)};
}
inline bool IsDark(const Rgb& pixel) { return pixel.Brightness() < 100; }
inline int DarkInSlot(const Screenshot& shot, const demo::Slot& slot) {
  return shot.Count(kLeft + slot.x, kTop + slot.y, slot.width, slot.height, IsDark);
}
// Whether a bar's two ends look alike: empty or full, not partly filled.
inline bool EndsAlike(const Screenshot& shot, const demo::Slot& bar) {
  const int middle = kTop + bar.y + bar.height / 2;
  return shot.At(kLeft + bar.x + 3, middle).Near(shot.At(kLeft + bar.x + bar.width - 4, middle));
}
// The skin itself: no key-colour pixel, its corners cut away (the screen behind shows), the gold
// rim, the dark title band; and the task text drawn in its line.
inline bool ShowsTheSkin(const Screenshot& shot) {
  return shot.Count(kLeft, kTop, demo::kSkinWidth, demo::kSkinHeight, IsKeyColour) == 0 &&
         !shot.At(kLeft + 1, kTop + 1).Near(kGold, 40) &&
         shot.At(kLeft + demo::kSkinWidth / 2, kTop + 1).Near(kGold) &&
         shot.At(kLeft + 100, kTop + 15).Brightness() < 0x70 &&
         DarkInSlot(shot, demo::kTaskEdit) > 20;
}
// While downloading both bars are partly filled (the overall bar counts bytes), and the task text
// tells the update's size beside the file's name, past the middle of its line.
inline bool Downloading(const Screenshot& shot) {
  const demo::Slot edit = demo::kTaskEdit;
  const demo::Slot right_half{edit.x + edit.width / 2, edit.y, edit.width / 2, edit.height};
  return ShowsTheSkin(shot) && !EndsAlike(shot, demo::kTaskBar) &&
         !EndsAlike(shot, demo::kMainBar) && DarkInSlot(shot, right_half) > 20;
}
// After a completed run the overall bar is full: its far end is filled, not the trough's white.
inline bool Completed(const Screenshot& shot) {
  const demo::Slot bar = demo::kMainBar;
  return ShowsTheSkin(shot) &&
         !shot.At(kLeft + bar.x + bar.width - 4, kTop + bar.y + bar.height / 2)
              .Near({0xFF, 0xFF, 0xFF}, 60);
}

// xwininfo's geometry of a skin-sized window at (x, y).
inline std::string SkinAt(int x, int y) {
  return std::to_string(demo::kSkinWidth) + "x" + std::to_string(demo::kSkinHeight) + "+" +
         std::to_string(x) + "+" + std::to_string(y);
}
// The centre of a layout slot on the screen.
inline void ClickSlot(const demo::Slot& slot) {
  VirtualDesktop::Click(kLeft + slot.x + slot.width / 2, kTop + slot.y + slot.height / 2);
}

class WindowTest : public testing::Test {
 protected:
  // One desktop for all the tests of a suite.
  static void SetUpTestSuite() { desktop_ = new VirtualDesktop(); }
  static void TearDownTestSuite() {
    delete desktop_;
    desktop_ = nullptr;
  }
  void SetUp() override {
    if (desktop_ == nullptr || !desktop_->IsRunning()) GTEST_SKIP() << "no desktop to run on";
  }

  // Lays out the install, its list at `url`, with the windowed sample game as "game.exe" and a copy
  // of it as "other.exe" that the updater does not know.
  void LayOut(const std::string& url) {
    LayOutInstall(install_, url, "", "sample_window_game");
    std::filesystem::copy_file(install_ / "game.exe", install_ / "other.exe");
  }

  // A release whose one file trickles in for about ten seconds.
  void ServeSlowly() {
    net_testing::Reply body{{"HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n"}, 100};
    for (int i = 0; i < 100; ++i) body.pieces.push_back(std::string(1000, 's'));
    server_.SetReplies(
        {{{"HTTP/1.0 200 OK\r\n\r\n1::slow.bin:100000:" + Md5Of("x") + "\r\n"}}, body});
    LayOut(ListUrl(server_));
  }
  // A server that takes the connection and never answers: the run stalls in its first fetch.
  void ServeNothing() {
    server_.SetReplies({{{"", ""}, net_testing::kSilent}});
    LayOut(ListUrl(server_));
  }
  // A release with the game's notes and a large file new.
  void ServeRelease() {
    const std::uint16_t port = net_testing::FindFreePort();
    LayOut("http://127.0.0.1:" + std::to_string(port) + "/filelist");
    const std::filesystem::path image = root_.GetPath() / "image", site = root_.GetPath() / "site";
    std::filesystem::copy(install_, image, std::filesystem::copy_options::recursive);
    WriteFile(image / "sample-game.txt", "Sample Game 1.1\n");
    WriteFile(image / "data" / "stage1.dat", std::string(3 << 20, 'd'));
    BuildSite(image, site, port);
    release_.emplace(site, port);
  }

  // Starts a program of the install; false when its window titled `title` never came.
  bool Start(std::optional<Background>& program, const std::string& command,
             const std::string& title = kUpdater) {
    program.emplace(install_, Runner() + command);
    return Eventually([&] { return Shown(title); }, 30);
  }

  // Screenshots until one shows what `ready` looks for (about ten seconds at most): a window draws
  // on its own time. The last one taken.
  Screenshot ShotWhen(const std::string& name, bool (*ready)(const Screenshot&)) const {
    for (int attempt = 0;; ++attempt) {
      Screenshot shot(artifacts_, name);
      if ((shot.IsValid() && ready(shot)) || attempt == 40) return shot;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  }
  void ShotForTheRecord(const std::string& name) const { Screenshot(artifacts_, name); }

  // The updater while downloading, at the skin's size where the screen's middle puts it; the start
  // button is disabled, and Enter and Escape close nothing.
  void CheckWhileDownloading(std::optional<Background>& updater) {
    ServeSlowly();
    ASSERT_TRUE(Start(updater, "RV7WIN9XME.EXE")) << updater->Output();
    EXPECT_EQ(GeometryOf(kUpdater), SkinAt(kLeft, kTop));
    EXPECT_TRUE(Downloading(ShotWhen("downloading", Downloading)));
    ClickSlot(demo::kStartButton);
    VirtualDesktop::PressKey("Escape");
    VirtualDesktop::PressKey("Return");
    EXPECT_EQ(updater->Wait(1), -1);
    EXPECT_FALSE(std::filesystem::exists(install_ / "game-started.txt"));
  }

  // The updater over a completed run: its start button starts the game and ends the updater.
  // The screenshot of the completed run.
  Screenshot CheckStartingTheGame() {
    std::optional<Background> updater;
    EXPECT_TRUE(Start(updater, "RV7WIN9XME.EXE")) << updater->Output();
    const Screenshot shot = ShotWhen("completed", Completed);
    EXPECT_TRUE(Completed(shot));
    // The overall bar fills with the run's last report, a timer tick before the run counts as
    // completed and the button is enabled; a click in between is ignored, as a disabled button's
    // is, so the click is made again until the updater ends.
    int status = -1;
    for (int i = 0; i < 10 && status == -1; ++i) {
      ClickSlot(demo::kStartButton);
      status = updater->Wait(2);
    }
    EXPECT_EQ(status, 0) << updater->Output();
    EXPECT_TRUE(Eventually([] { return Shown(kGame); }, 20));
    EXPECT_EQ(ReadFile(install_ / "game-started.txt"), "started\n");
    ShotForTheRecord("game-started");
    return shot;
  }

  static inline VirtualDesktop* desktop_ = nullptr;
  // Where the screenshots go.
  const std::filesystem::path artifacts_ = ArtifactFolder(OnWine() ? "window-win32" : "window");
  TempFolder root_{"varne-window"};
  const std::filesystem::path install_ = root_.GetPath() / "install";
  net_testing::ScriptedServer server_;
  std::optional<ReleaseServer> release_;
};

}  // namespace test_support
