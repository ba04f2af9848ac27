#include "ui/varne_updater_dlg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "base/exception.h"
#include "demo/bmp_file.h"
#include "demo_skin.h"
#include "res/strings.h"
#include "site/install_names.h"
#include "ui/testing/fake_processes.h"
#include "ui/testing/recording_view.h"
#include "update/testing/engine_testing.h"

namespace {

namespace fs = std::filesystem;
using ui_testing::Bar;
using ui_testing::RecordingView;
using Lines = std::vector<std::string>;

constexpr char kRun[] = "main_image=skin.bmp\r\nserverside_url=http://updates/list\r\n";
// A 4 x 2 skin whose top-left and bottom-right pixels have the key colour.
const std::string kSkin = bmp::Bmp24(4, 2, {0xFF00FF, 1, 1, 1, 1, 1, 1, 0xFF00FF});

// The run as a test plays it: what the dialog started it with, and what it answers.
struct PlayedRun : IUpdateDriver {
  void Start(const std::tstring& list_url, const std::tstring& public_key) override {
    url = list_url;
    key = public_key;
  }
  void Stop() override { stopped = true; }
  RunStatus Poll() override { return status; }
  std::tstring GetErrorMessage() const override { return "DownloadManager : List file error."; }
  Exception GetFailure() const override {
    return Caused(Exception(GetErrorMessage(), true), ErrorCause::kNetwork, {"updates", {}});
  }
  bool IsPackageReplaced() const override { return package_replaced; }

  std::tstring url, key;
  RunStatus status;
  bool package_replaced = false;
  bool stopped = false;
};

// Each test runs in an install folder of its own, the current directory, with the process's file
// manager.
class UpdaterDialogTest : public testing::Test {
 protected:
  UpdaterDialogTest() { processes_.folder = install_->Path(); }

  // Installs the game's package with the settings, a 1 x 1 skin and, when asked, a swap program;
  // and reads it as start-up does.
  void InstallPackage(const std::string& settings, bool swap_program = false) {
    std::vector<TestPackage::Entry> entries{{kDialogConfigName, demo::Utf16LeFromAscii(settings)},
                                            {"skin.bmp", bmp::Bmp24(1, 1, {0})}};
    if (swap_program) entries.push_back({"rv7swap_ansi.exe", "swap program"});
    install_->Write("RV7.VPK", TestPackage(entries).Bytes());
    VarneFileManager& files = *Singleton<VarneFileManager>::GetInstance();
    files.ClearFileList();
    files.ReadPackage(".\\RV7.vpk");
  }

  // Held by pointer: the file manager's destructor may throw, the fixture's may not.
  const std::unique_ptr<update_testing::InstallFolder> install_ =
      std::make_unique<update_testing::InstallFolder>();
  update_testing::FakeProcesses processes_;
};

size_t IndexOf(const RecordingView& view, const std::string& line) {
  return std::find(view.log.begin(), view.log.end(), line) - view.log.begin();
}

TEST_F(UpdaterDialogTest, TickShowsTheSnapshotOnTheBars) {
  RecordingView view;
  PlayedRun run;
  CVarneUpdaterDlg dialog(view, run, processes_);
  const struct {
    int total, done;
    const char* text;
    std::uint64_t size, received;
    Bar task, main;
  } cases[] = {
      {3, 1, "a.txt", 0, 0, {0, 0, 0}, {0, 3, 1}},
      {3, 1, "a.txt", 1001, 1001, {0, 1000, 1000}, {0, 3, 1}},
      // Sizes past 32 bits (a large file's blocks) are scaled without overflow.
      {3, 1, "a.txt", 0xFFFFFFFF, 0x7FFFFFFF, {0, 1000, 499}, {0, 3, 1}},
      {3, 1, "a.txt", 6ull << 30, 3ull << 30, {0, 1000, 500}, {0, 3, 1}},
      {3, 1, "a.txt", 1001, ~0ull, {0, 1000, 1000}, {0, 3, 1}},
      // A range is 16 bits wide; a release of more files fills the overall bar in thousandths.
      {70000, 7000, "", 0, 0, {0, 0, 0}, {0, 1000, 100}},
      // Every file counted is not yet a completed run: only the run can tell.
      {0, 0, "DownloadManager : List file error.", 0, 0, {0, 0, 0}, {0, 0, 0}},
  };
  for (const auto& c : cases) {
    const std::tstring text = c.text;
    run.status.progress = {c.total, c.done, text, c.size, c.received};
    dialog.OnTimer(CVarneUpdaterDlg::kTimerId);
    EXPECT_EQ(view.bars[IDC_TASK_PROGRESS], c.task) << c.size << " " << c.received;
    EXPECT_EQ(view.bars[IDC_MAIN_PROGRESS], c.main) << c.total << " " << c.done;
    EXPECT_EQ(view.log.back(), "text 1003 " + text);
  }
  // The whole update's bytes fill the overall bar and follow the task's text, unless the view
  // shows them itself.
  run.status.progress = {3, 1, "a.txt", 100, 50, {.bytes_total = 4000, .bytes_done = 1000}};
  dialog.OnTimer(CVarneUpdaterDlg::kTimerId);
  EXPECT_EQ(view.bars[IDC_MAIN_PROGRESS], (Bar{0, 1000, 250}));
  EXPECT_EQ(view.log.back(), "text 1003 a.txt 全体 1000 B/3.9 KiB");
  run.status.progress = {3, 1, "b.txt", 0, 0, {.checking = true}};
  dialog.OnTimer(CVarneUpdaterDlg::kTimerId);
  EXPECT_EQ(view.log.back(), "text 1003 b.txt 確認中");
  view.shows_figures = true;
  dialog.OnTimer(CVarneUpdaterDlg::kTimerId);
  EXPECT_EQ(view.log.back(), "text 1003 b.txt");
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

// The layout and the run's address and key come from the settings, the skin from the disk before
// the package; a completed run enables the start button, which starts the game with its arguments
// in the install folder or, when it cannot, ends the dialog with the error for start-up to show.
TEST_F(UpdaterDialogTest, ACompletedRunEnablesTheStartButton) {
  install_->Write("skin.bmp", kSkin);
  processes_.unstartable = "missing.exe";
  for (const std::string game : {"game.exe one two", "missing.exe"}) {
    InstallPackage(kRun + ("serverside_publickey=KEY\r\nrunfilename=" + game) +
                   "\r\nmain_progress_x=1\r\nmain_progress_y=2\r\n"
                   "main_progress_width=3\r\nmain_progress_height=4\r\n"
                   "task_progress_x=5\r\ntask_progress_height=6\r\ntask_edit_y=7\r\n"
                   "task_edit_width=100\r\ntask_edit_height=15\r\nquit_btn_x=8\r\n"
                   "quit_btn_width=9\r\nmain_btn_y=10\r\nmain_btn_height=11\r\n");
    PlayedRun run;
    RecordingView view;
    view.desktop = {100, 40, 1025, 768};  // a task bar on the left and at the top
    view.on_tick = [&run, &view](IDialogEvents&) {
      if (view.ticks > 0) run.status = {.state = RunState::kCompleted, .progress = {1, 1, ""}};
    };
    view.on_idle = [](IDialogEvents& events) { events.OnCommand(IDC_START_GAME); };
    processes_.log.clear();
    CVarneUpdaterDlg dialog(view, run, processes_);
    try {
      EXPECT_EQ(dialog.DoModal(), -1);
      EXPECT_NE(game, "missing.exe");
    } catch (const Exception& failure) {
      EXPECT_EQ(game, "missing.exe");
      EXPECT_EQ(failure.GetText(), "Main Exe File Error.");
    }
    EXPECT_EQ(processes_.log, Lines{"start " + game + " in ~"});
    EXPECT_EQ(run.url, "http://updates/list");
    EXPECT_EQ(run.key, "KEY");
    EXPECT_EQ(view.Calls("move "),
              (Lines{"move 1000 1,2 3x4", "move 1001 5,0 0x6", "move 1003 0,7 100x15",
                     "move 1005 8,0 9x0", "move 1004 0,10 0x11"}));
    EXPECT_EQ(view.Calls("font "), Lines{"font 1003 13 6 400"});
    EXPECT_EQ(view.Calls("window "), Lines{"window 610,423 4x2"});
    EXPECT_EQ(view.region.rects, (std::vector<RegionRect>{{1, 0, 4, 1}, {0, 1, 3, 2}}));
    EXPECT_EQ(view.Calls("menu "), Lines{"menu 16 バージョン情報 RV7Updater(&A)..."});
    EXPECT_EQ(view.Calls("start timer"), Lines{"start timer 0 10"});
    EXPECT_EQ(view.Calls("text 1003 "),
              (Lines{"text 1003 no tasks.", "text 1003 ", "text 1003 Completed."}));
    EXPECT_EQ(view.bars[IDC_MAIN_PROGRESS], (Bar{0, 1, 1}));
    EXPECT_EQ(view.Calls("enable "), (Lines{"enable 1004 off", "enable 1004 on"}));
  }
}

// How the dialog ends on its own. Failures before it runs end it at once with the error box; the
// run's failure (its cause's paragraph after its text; none for a failure of no known cause, as
// the missing swap program), and a new updater left behind when the package holds no swap program,
// once the timer stopped. A completed run hands a new updater over to the swap program, written
// beside the updater (in a folder with a blank) and started in the install folder, or restarts the
// updater after it replaced the package, each after a box. Either way the run is stopped.
TEST_F(UpdaterDialogTest, EndsOfTheDialog) {
  const fs::path updater_folder = install_->GetPath() / "updater folder";
  fs::create_directory(updater_folder);
  install_->Write("broken.bmp", "GIF89a: no loader reads it as a bitmap");
  const std::string error = std::string("エラー: ") + kErrorLead, confirm = "確認: ";
  const RunState kRunning = RunState::kRunning, kCompleted = RunState::kCompleted;
  const struct Case {
    std::string settings = kRun;
    bool start_button = true;
    RunState state = RunState::kCompleted;
    bool swap_left = false, swap_program = false, package_replaced = false;
    int result = -1;
    std::string box;
    std::string started = {};  // the command line started in the install folder, if any
  } cases[] = {
      {.settings = "main_image=broken.bmp\r\n",
       .state = kRunning,
       .result = 1,
       .box = "エラー: DibSection : Image Load Error : broken.bmp" +
              CauseParagraph(ErrorCause::kInstall, {"broken.bmp", {}})},
      {.start_button = false,
       .state = kRunning,
       .result = 1,
       .box = "エラー: 初期化失敗 : NULL Window"},
      {.state = RunState::kFailed,
       .box = error + "DownloadManager : List file error." +
              CauseParagraph(ErrorCause::kNetwork, {"updates", {}})},
      {.swap_left = true,
       .box = error + "VarneFileSystem : no file in this package.file : rv7swap_ansi.exe"},
      {.swap_left = true,
       .swap_program = true,
       .box = confirm + "アップデータの更新を行います\r\n\r\n" + kSelfUpdateNotice,
       .started = "\"~\\updater folder\\rv7swap_ansi.exe\" --restart --console"},
      {.package_replaced = true,
       .box = confirm + "アップデータが更新されました。\r\n再起動します。",
       .started = "RV7WIN9XME.EXE"},
  };
  for (const auto& c : cases) {
    fs::remove(updater_folder / "rv7swap_ansi.exe");
    fs::remove("RV7WIN9XME.SWAP");
    if (c.swap_left) install_->Write("RV7WIN9XME.SWAP", "new updater");
    InstallPackage(c.settings, c.swap_program);
    PlayedRun run;
    run.status.state = c.state;
    run.package_replaced = c.package_replaced;
    RecordingView view;
    if (!c.start_button) view.RemoveControl(IDC_START_GAME);
    processes_.log.clear();
    CVarneUpdaterDlg dialog(view, run, processes_);
    dialog.SetModuleFolder(processes_.folder + "\\updater folder\\");
    dialog.SetRestartArguments("--console");
    EXPECT_EQ(dialog.DoModal(), c.result) << c.box;
    EXPECT_EQ(view.Calls("box "), Lines{"box " + c.box});
    EXPECT_EQ(dialog.ErrorShown(), c.box.starts_with("エラー: "));
    EXPECT_EQ(dialog.RunCompleted(), c.state == kCompleted);
    EXPECT_EQ(IndexOf(view, "text 1003 Completed.") < view.log.size(), c.state == kCompleted);
    EXPECT_EQ(view.Calls("enable 1004 on").size(), c.started.empty() ? 0u : 1u);
    EXPECT_EQ(view.Calls("quit "), c.result == -1 ? Lines{"quit 0"} : Lines{});
    EXPECT_EQ(IndexOf(view, "stop timer 0") < IndexOf(view, "box " + c.box), c.result == -1);
    EXPECT_EQ(view.log.back(), "stop timer 0");
    EXPECT_TRUE(run.stopped);
    EXPECT_EQ(processes_.log, c.started.empty() ? Lines{} : Lines{"start " + c.started + " in ~"});
    EXPECT_EQ(test_support::ReadFile(updater_folder / "rv7swap_ansi.exe"),
              c.swap_program ? "swap program" : "");
  }
}

// The quit button ends the dialog: the quit listener hears of it while the run still goes, and the
// run is stopped before DoModal returns.
TEST_F(UpdaterDialogTest, QuitStopsTheRun) {
  InstallPackage(kRun);
  PlayedRun run;
  RecordingView view;
  view.on_tick = [](IDialogEvents& events) { events.OnCommand(IDC_QUIT); };
  CVarneUpdaterDlg dialog(view, run, processes_);
  bool stopped_at_quit = true;
  dialog.SetQuitListener([&] { stopped_at_quit = run.stopped; });
  EXPECT_EQ(dialog.DoModal(), 1);
  EXPECT_FALSE(stopped_at_quit);
  EXPECT_TRUE(run.stopped);
  EXPECT_FALSE(dialog.RunCompleted());
}

}  // namespace
