#include "ui/varne_updater_dlg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "base/exception.h"
#include "platform/path.h"
#include "scratch.h"
#include "storage/storage_test_util.h"
#include "storage/varne_file_manager.h"
#include "ui/bmp_file.h"
#include "ui/testing/recording_view.h"

namespace {

namespace fs = std::filesystem;
using ui_testing::Bar;
using ui_testing::RecordingView;
using Boxes = std::vector<std::pair<std::string, std::string>>;
using Lines = std::vector<std::string>;

constexpr char kErrorLead[] =
    "エラーが発生しました。\r\n少し時間をおいて、再度アップデートしてください。\r\n\r\n詳細:\r\n";
constexpr char kRun[] = "main_image=skin.bmp\r\nserverside_url=http://updates/list\r\n";

// The run as the test plays it: what the dialog started it with, and what it answers.
struct PlayedRun {
  void Report(int total, int done, const std::tstring& text) {
    progress(total, done, &text, 0, 0, user);
  }

  std::tstring url{}, key{};
  ProgressCallback progress = nullptr;
  void* user = nullptr;
  int state = DownloadManager::kRunning;
  bool package_replaced = false;
  bool stopped = false;  // the dialog destroyed its driver
};

class PlayedDriver : public IUpdateDriver {
 public:
  explicit PlayedDriver(PlayedRun& run) : run_(run) {}
  ~PlayedDriver() override { run_.stopped = true; }
  void Start(const std::tstring& url, const std::tstring& key, ProgressCallback progress,
             void* user) override {
    run_.url = url;
    run_.key = key;
    run_.progress = progress;
    run_.user = user;
  }
  int Poll() override { return run_.state; }
  std::tstring GetErrorMessage() const override { return "DownloadManager : List file error."; }
  bool IsPackageReplaced() const override { return run_.package_replaced; }

 private:
  PlayedRun& run_;
};

// Each test runs in an install folder of its own, the current directory, with the process's file
// manager.
class UpdaterDialogTest : public testing::Test {
 protected:
  UpdaterDialogTest() { fs::current_path(install_.GetPath()); }
  ~UpdaterDialogTest() override { fs::current_path(previous_); }

  // Installs the game's package with the settings, a 4 x 2 skin whose top-left and bottom-right
  // pixels have the key colour, and more entries; and reads it as start-up does.
  void InstallPackage(const std::string& settings, std::vector<TestPackage::Entry> more = {}) {
    more.push_back({"dlgconfig.conf", test_support::Utf16LeWithBom(settings)});
    more.push_back({"skin.bmp", bmp::Bmp24(4, 2, {0xFF00FF, 1, 1, 1, 1, 1, 1, 0xFF00FF})});
    Write("RV7.VPK", TestPackage(more).Bytes());
    files_->ClearFileList();
    files_->ReadPackage(".\\RV7.vpk");
  }
  // Writes a file of the install, which may be run.
  void Write(const std::string& name, const std::string& bytes) const {
    const fs::path path = install_.GetPath() / name;
    test_support::WriteFile(path, bytes);
    fs::permissions(path, fs::perms::owner_exec, fs::perm_options::add);
  }
  bool Eventually(const fs::path& name, const std::string& bytes) const {
    return test_support::Eventually([&] { return test_support::ReadFile(name) == bytes; }, 5);
  }
  UpdateDriverFactory Driver() {
    return [this] { return std::make_unique<PlayedDriver>(run_); };
  }

  const fs::path previous_ = fs::current_path();
  const test_support::TempFolder install_{"varne-dialog"};
  const std::unique_ptr<VarneFileManager> files_ = std::make_unique<VarneFileManager>();
  PlayedRun run_;
};

size_t IndexOf(const RecordingView& view, const std::string& line) {
  return std::find(view.log.begin(), view.log.end(), line) - view.log.begin();
}

TEST_F(UpdaterDialogTest, TickShowsTheSnapshotOnTheBars) {
  RecordingView view;
  CVarneUpdaterDlg dialog(view, Driver());
  const char* kFailure = "DownloadManager : List file error.";
  const struct {
    int total, done;
    const char* text;
    int size, received;
    Bar task, main;
  } cases[] = {
      {3, 1, "a.txt", 0, 0, {0, 0, 0}, {0, 3, 1}},
      {3, 1, "a.txt", 5000, 2500, {0, 1000, 500}, {0, 3, 1}},
      {3, 1, "a.txt", 1000, 999, {0, 1000, 999}, {0, 3, 1}},
      {3, 1, "a.txt", 1001, 1001, {0, 1000, 1000}, {0, 3, 1}},
      // Sizes are read as unsigned 32-bit numbers, and scaled without overflow.
      {3, 1, "a.txt", -1, 0x7FFFFFFF, {0, 1000, 499}, {0, 3, 1}},
      {3, 1, "a.txt", 1001, -1, {0, 1000, 1000}, {0, 3, 1}},
      // A range is 16 bits wide; a release of more files fills the overall bar in thousandths.
      {70000, 7000, "", 0, 0, {0, 0, 0}, {0, 1000, 100}},
      {70000, 70000, "", 0, 0, {0, 0, 0}, {0, 1000, 1000}},
      // Every file counted is not yet a completed run: only the run can tell.
      {0, 0, kFailure, 0, 0, {0, 0, 0}, {0, 0, 0}},
  };
  for (const auto& c : cases) {
    const std::tstring text = c.text;
    CVarneUpdaterDlg::OnDownloadProgress(c.total, c.done, &text, c.size, c.received, &dialog);
    dialog.OnTimer(CVarneUpdaterDlg::kTimerId);
    EXPECT_EQ(view.bars[IDC_TASK_PROGRESS], c.task) << c.size << " " << c.received;
    EXPECT_EQ(view.bars[IDC_MAIN_PROGRESS], c.main) << c.total << " " << c.done;
    EXPECT_EQ(view.texts[IDC_TASK_EDIT], c.text);
  }
  // Other timers, Enter and Escape change nothing; the system menu's commands.
  const size_t calls = view.log.size();
  dialog.OnTimer(7);
  dialog.OnOK();
  dialog.OnCancel();
  dialog.OnSysCommand(IDM_ABOUTBOX | 3);
  dialog.OnSysCommand(0xF020);
  dialog.OnSysCommand(IDialogView::kCloseCommand);
  EXPECT_EQ(Lines(view.log.begin() + calls, view.log.end()),
            (Lines{"about バージョン情報: RV7 Updater Version 1.0 / "
                   "ゲームのファイルを最新の版に更新します。",
                   "default command 61472", "end 1"}));
}

// The layout and the run's address and key come from the settings; a completed run enables the
// start button, which starts the game with its arguments or, when it cannot, ends the dialog with
// the error for start-up to show.
TEST_F(UpdaterDialogTest, ACompletedRunEnablesTheStartButton) {
  Write("game.sh", "#!/bin/sh\necho \"$@\" > started\n");
  for (const std::string game : {"game.sh one two", "missing.exe"}) {
    InstallPackage(kRun + ("serverside_publickey=KEY\r\nrunfilename=" + game) +
                   "\r\nmain_progress_x=1\r\nmain_progress_y=2\r\n"
                   "main_progress_width=3\r\nmain_progress_height=4\r\n"
                   "task_progress_x=5\r\ntask_progress_height=6\r\ntask_edit_y=7\r\n"
                   "task_edit_width=100\r\ntask_edit_height=15\r\nquit_btn_x=8\r\n"
                   "quit_btn_width=9\r\nmain_btn_y=10\r\nmain_btn_height=11\r\n");
    run_ = {};
    RecordingView view;
    view.desktop = {1025, 768};
    view.on_tick = [this, &view](IDialogEvents&) {
      if (view.ticks == 0) return;
      run_.Report(1, 1, "a.txt");
      run_.state = DownloadManager::kCompleted;
    };
    view.on_idle = [](IDialogEvents& events) { events.OnCommand(IDC_START_GAME); };
    CVarneUpdaterDlg dialog(view, Driver());
    try {
      EXPECT_EQ(dialog.DoModal(), -1);
      EXPECT_NE(game, "missing.exe");
      EXPECT_TRUE(Eventually("started", "one two\n"));
    } catch (const Exception& failure) {
      EXPECT_EQ(game, "missing.exe");
      EXPECT_EQ(failure.GetText(), "Main Exe File Error.");
    }
    EXPECT_EQ(run_.url, "http://updates/list");
    EXPECT_EQ(run_.key, "KEY");
    EXPECT_EQ(view.Calls("move "),
              (Lines{"move 1000 1,2 3x4", "move 1001 5,0 0x6", "move 1003 0,7 100x15",
                     "move 1005 8,0 9x0", "move 1004 0,10 0x11"}));
    EXPECT_EQ(view.Calls("font "), Lines{"font 1003 13 6 400"});
    EXPECT_EQ(view.Calls("window "), Lines{"window 510,383 4x2"});
    EXPECT_EQ(view.region.rects, (std::vector<RegionRect>{{1, 0, 4, 1}, {0, 1, 3, 2}}));
    EXPECT_EQ(view.Calls("menu "), Lines{"menu 16 バージョン情報 RV7Updater(&A)..."});
    EXPECT_EQ(view.Calls("start timer"), Lines{"start timer 0 10"});
    EXPECT_EQ(view.Calls("text 1003 "),
              (Lines{"text 1003 no tasks.", "text 1003 ", "text 1003 Completed."}));
    EXPECT_TRUE(dialog.RunCompleted());
    EXPECT_TRUE(view.boxes.empty());
    EXPECT_EQ(view.bars[IDC_MAIN_PROGRESS], (Bar{0, 1, 1}));
    EXPECT_EQ(view.Calls("enable "), (Lines{"enable 1004 off", "enable 1004 on"}));
    EXPECT_LT(IndexOf(view, "stop timer 0"), IndexOf(view, "enable 1004 on"));
    EXPECT_EQ(view.log.back(), "stop timer 0");
  }
}

// Failures before the dialog runs end it at once with the error box. Failures of the run: the
// run's own, and a new updater left behind when the package holds no swap program to hand over
// to; the error box comes once the timer stopped, and the start button is never enabled. The run
// is stopped before the dialog ends.
TEST_F(UpdaterDialogTest, FailuresShowTheErrorAndEndTheDialog) {
  const struct {
    std::string settings;
    bool start_button;
    int state;
    std::string box;
  } cases[] = {
      {"main_image=missing.bmp\r\n", true, DownloadManager::kRunning,
       "DibSection : Image Load Error : missing.bmp"},
      {kRun, false, DownloadManager::kRunning, "初期化失敗 : NULL Window"},
      {kRun, true, DownloadManager::kIdle,
       kErrorLead + std::string("DownloadManager : List file error.")},
      {kRun, true, DownloadManager::kCompleted,
       kErrorLead +
           std::string("VarneFileSystem : no file in this package.file : rv7swap_ansi.exe")},
  };
  Write("RV7WIN9XME.SWAP", "new updater");
  for (const auto& c : cases) {
    InstallPackage(c.settings);
    run_ = {.state = c.state};
    RecordingView view;
    if (!c.start_button) view.RemoveControl(IDC_START_GAME);
    CVarneUpdaterDlg dialog(view, Driver());
    const bool ran = c.box.starts_with(kErrorLead);
    EXPECT_EQ(dialog.DoModal(), ran ? -1 : 1);
    EXPECT_EQ(view.boxes, (Boxes{{"エラー", c.box}}));
    EXPECT_TRUE(dialog.ErrorShown());
    EXPECT_TRUE(run_.stopped);
    EXPECT_EQ(view.log.back(), "stop timer 0");
    if (!ran) {
      EXPECT_EQ(view.ticks, 0);
      continue;
    }
    const bool completed = c.state == DownloadManager::kCompleted;
    EXPECT_EQ(dialog.RunCompleted(), completed);
    EXPECT_EQ(IndexOf(view, "text 1003 Completed.") < view.log.size(), completed);
    EXPECT_LT(IndexOf(view, "stop timer 0"), IndexOf(view, "box エラー: " + c.box));
    EXPECT_EQ(view.Calls("quit "), Lines{"quit 0"});
    EXPECT_EQ(view.Calls("enable "), Lines{"enable 1004 off"});
  }
}

// At the end of a completed run, a new updater is handed over to the swap program, written beside
// the updater (in a folder with a blank) and started in the install folder; a replaced package
// restarts the updater. Either is confirmed with a box and ends the dialog.
TEST_F(UpdaterDialogTest, HandsOverToTheSwapProgramOrRestarts) {
  const fs::path updater_folder = install_.GetPath() / "updater folder";
  fs::create_directory(updater_folder);
  Write("RV7WIN9XME.EXE", "#!/bin/sh\necho restarted > started\n");
  const struct {
    bool swap_left, package_replaced;
    std::string box, started;
  } cases[] = {
      {true, false, "アップデータの更新を行います", "swapped\n"},
      {false, true, "アップデータが更新されました。\r\n再起動します。", "restarted\n"},
  };
  for (const auto& c : cases) {
    fs::remove("started");
    fs::remove("RV7WIN9XME.SWAP");
    if (c.swap_left) Write("RV7WIN9XME.SWAP", "new updater");
    InstallPackage(kRun, {{"rv7swap_ansi.exe", "#!/bin/sh\necho swapped > started\n"}});
    run_ = {.state = DownloadManager::kCompleted, .package_replaced = c.package_replaced};
    RecordingView view;
    CVarneUpdaterDlg dialog(view, Driver());
    dialog.SetModuleFolder(platform::ToInternalPath(updater_folder.string()) + "\\");
    EXPECT_EQ(dialog.DoModal(), -1);
    EXPECT_EQ(view.boxes, (Boxes{{"確認", c.box}}));
    EXPECT_EQ(view.Calls("quit "), Lines{"quit 0"});
    EXPECT_TRUE(Eventually("started", c.started)) << c.started;
  }
}

// The skin is read from a file on disk before the package, unless that is skipped; a broken file
// on disk is no skin.
TEST_F(UpdaterDialogTest, TheSkinOnDiskComesFirst) {
  InstallPackage(kRun);
  Write("skin.bmp", bmp::Bmp24(1, 1, {0}));
  Write("broken.bmp", bmp::Bmp24(1, 1, {0}).substr(0, 40));
  DibSection image;
  EXPECT_EQ(image.Load("skin.bmp", true), kResultOk);
  EXPECT_EQ(image.GetWidth(), 1);
  EXPECT_EQ(image.Load("skin.bmp", false), kResultOk);
  EXPECT_EQ(image.GetWidth(), 4);
  EXPECT_THROW(image.Load("broken.bmp", true), Exception);
  EXPECT_FALSE(image.HasBitmap());
}

// The quit button ends the dialog: the quit listener hears of it while the run still goes, and the
// run is stopped before DoModal returns.
TEST_F(UpdaterDialogTest, QuitStopsTheRun) {
  InstallPackage(kRun);
  RecordingView view;
  view.on_tick = [](IDialogEvents& events) { events.OnCommand(IDC_QUIT); };
  CVarneUpdaterDlg dialog(view, Driver());
  bool stopped_at_quit = true;
  dialog.SetQuitListener([&] { stopped_at_quit = run_.stopped; });
  EXPECT_EQ(dialog.DoModal(), 1);
  EXPECT_FALSE(stopped_at_quit);
  EXPECT_TRUE(run_.stopped);
  EXPECT_FALSE(dialog.RunCompleted());
}

}  // namespace
