#include "ui/varne_updater_dlg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "base/exception.h"
#include "engine_harness.h"
#include "net/testing/scripted_server.h"
#include "ui/bmp_file.h"
#include "ui/testing/recording_view.h"

namespace {

using net_testing::ScriptedServer;
using test_support::InstallFolder;
using test_support::ListThenPackages;
using test_support::Md5Of;
using test_support::PackageOf;
using ui_testing::Bar;
using ui_testing::RecordingView;
using Boxes = std::vector<std::pair<std::string, std::string>>;
using Lines = std::vector<std::string>;

constexpr char kErrorLead[] =
    "エラーが発生しました。\r\n少し時間をおいて、再度アップデートしてください。\r\n\r\n詳細:\r\n";

std::string Settings(const ScriptedServer& server, const std::string& more = "") {
  return "main_image=skin.bmp\r\nserverside_url=http://127.0.0.1:" +
         std::to_string(server.GetPort()) + "/list\r\n" + more;
}

// Installs the game's package with the settings and a 4 x 2 skin whose top-left and bottom-right
// pixels have the key colour; and reads it as start-up does.
void InstallPackage(const InstallFolder& install, const std::string& settings) {
  install.Write(
      "RV7.VPK",
      PackageOf({{"dlgconfig.conf", test_support::Utf16LeWithBom(settings)},
                 {"skin.bmp", bmp::Bmp24(4, 2, {0xFF00FF, 1, 1, 1, 1, 1, 1, 0xFF00FF})}}));
  Singleton<VarneFileManager>::GetInstance()->ClearFileList();
  Singleton<VarneFileManager>::GetInstance()->ReadPackage(".\\RV7.vpk");
}

size_t IndexOf(const RecordingView& view, const std::string& line) {
  return std::find(view.log.begin(), view.log.end(), line) - view.log.begin();
}

TEST(UpdaterDialogTest, TickShowsTheSnapshotOnTheBars) {
  RecordingView view;
  CVarneUpdaterDlg dialog(view);
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
      // Every file counted is not yet a completed run: only the manager can tell.
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

// The layout comes from the settings; a completed run enables the start button, which starts the
// game with its arguments or, when it cannot, ends the dialog with the error for start-up to show.
TEST(UpdaterDialogTest, ACompletedRunEnablesTheStartButton) {
  ScriptedServer server;
  InstallFolder install;
  install.Write("a.txt", "x");
  install.Write("game.sh", "#!/bin/sh\necho \"$@\" > started\n");
  std::filesystem::permissions(install.GetPath() / "game.sh", std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  server.SetReplies(ListThenPackages("1::a.txt:1:" + Md5Of("x") + "\r\n"));
  for (const std::string game : {"game.sh one two", "missing.exe"}) {
    InstallPackage(
        install,
        Settings(server, "runfilename=" + game +
                             "\r\nmain_progress_x=1\r\nmain_progress_y=2\r\n"
                             "main_progress_width=3\r\nmain_progress_height=4\r\n"
                             "task_progress_x=5\r\ntask_progress_height=6\r\ntask_edit_y=7\r\n"
                             "task_edit_width=100\r\ntask_edit_height=15\r\nquit_btn_x=8\r\n"
                             "quit_btn_width=9\r\nmain_btn_y=10\r\nmain_btn_height=11\r\n"));
    RecordingView view;
    view.desktop = {1025, 768};
    view.on_idle = [](IDialogEvents& events) { events.OnCommand(IDC_START_GAME); };
    CVarneUpdaterDlg dialog(view);
    try {
      EXPECT_EQ(dialog.DoModal(), -1);
      EXPECT_NE(game, "missing.exe");
      // The shell creates the file before it writes to it.
      EXPECT_TRUE(
          test_support::Eventually([&] { return install.Read("started") == "one two\n"; }, 5));
    } catch (const Exception& failure) {
      EXPECT_EQ(game, "missing.exe");
      EXPECT_EQ(failure.GetText(), "Main Exe File Error.");
    }
    EXPECT_EQ(view.Calls("move "),
              (Lines{"move 1000 1,2 3x4", "move 1001 5,0 0x6", "move 1003 0,7 100x15",
                     "move 1005 8,0 9x0", "move 1004 0,10 0x11"}));
    EXPECT_EQ(view.Calls("font "), Lines{"font 1003 13 6 400"});
    EXPECT_EQ(view.Calls("window "), Lines{"window 510,383 4x2"});
    EXPECT_EQ(view.region.rects, (std::vector<RegionRect>{{1, 0, 4, 1}, {0, 1, 3, 2}}));
    EXPECT_EQ(view.Calls("menu "), Lines{"menu 16 バージョン情報 RV7Updater(&A)..."});
    EXPECT_EQ(view.Calls("start timer"), Lines{"start timer 0 10"});
    EXPECT_EQ(view.Calls("text 1003 ").front(), "text 1003 no tasks.");
    EXPECT_TRUE(dialog.RunCompleted());
    EXPECT_TRUE(view.boxes.empty());
    EXPECT_EQ(view.texts[IDC_TASK_EDIT], "Completed.");
    EXPECT_EQ(view.bars[IDC_MAIN_PROGRESS], (Bar{0, 1, 1}));
    EXPECT_EQ(view.Calls("enable "), (Lines{"enable 1004 off", "enable 1004 on"}));
    EXPECT_LT(IndexOf(view, "stop timer 0"), IndexOf(view, "enable 1004 on"));
    EXPECT_EQ(view.log.back(), "stop timer 0");
  }
}

// Failures before the dialog runs end it at once with the error box. Failures of the run: a
// failed list, and a swap file left behind when the package holds no swap program to hand over
// to; the error box comes once the timer stopped, and the start button is never enabled.
TEST(UpdaterDialogTest, FailuresShowTheErrorAndEndTheDialog) {
  ScriptedServer server;
  const std::string run = Settings(server), list = "1::RV7WIN9XME.EXE:1:" + Md5Of("u") + "\r\n";
  const struct {
    std::string settings;
    std::string list;  // empty: the start button is missing, and no list is read
    bool swap_left;
    std::string box;
  } cases[] = {
      {"main_image=missing.bmp\r\n", list, false, "DibSection : Image Load Error : missing.bmp"},
      {run, "", false, "初期化失敗 : NULL Window"},
      {run, "1::a.txt:1\r\n", false,
       kErrorLead + std::string("DownloadManager : List file error.")},
      {run, list, true,
       kErrorLead +
           std::string("VarneFileSystem : no file in this package.file : rv7swap_ansi.exe")},
  };
  for (const auto& c : cases) {
    InstallFolder install;
    install.Write("RV7WIN9XME.EXE", "u");
    if (c.swap_left) install.Write("RV7WIN9XME.SWAP", "new updater");
    InstallPackage(install, c.settings);
    server.SetReplies(ListThenPackages(c.list));
    RecordingView view;
    if (c.list.empty()) view.RemoveControl(IDC_START_GAME);
    CVarneUpdaterDlg dialog(view);
    const bool ran = c.box.starts_with(kErrorLead);
    EXPECT_EQ(dialog.DoModal(), ran ? -1 : 1);
    EXPECT_EQ(view.boxes, (Boxes{{"エラー", c.box}}));
    EXPECT_TRUE(dialog.ErrorShown());
    EXPECT_EQ(view.log.back(), "stop timer 0");
    if (!ran) {
      EXPECT_EQ(view.ticks, 0);
      continue;
    }
    EXPECT_EQ(dialog.RunCompleted(), c.swap_left);
    EXPECT_EQ(IndexOf(view, "text 1003 Completed.") < view.log.size(), c.swap_left);
    EXPECT_LT(IndexOf(view, "stop timer 0"), IndexOf(view, "box エラー: " + c.box));
    EXPECT_EQ(view.Calls("quit "), Lines{"quit 0"});
    EXPECT_EQ(view.Calls("enable "), Lines{"enable 1004 off"});
  }
}

TEST(UpdaterDialogTest, QuitDuringARunStopsIt) {
  ScriptedServer server;
  InstallFolder install;
  InstallPackage(install, Settings(server));
  net_testing::Reply slow{{"HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n"}, 50};
  for (int i = 0; i < 200; ++i) slow.pieces.push_back(std::string(500, 'x'));
  server.SetReplies({{{"HTTP/1.0 200 OK\r\n\r\n1::slow.bin:100000:" + Md5Of("y") + "\r\n"}}, slow});
  RecordingView view;
  view.on_tick = [&view](IDialogEvents& events) {
    if (view.bars[IDC_TASK_PROGRESS].position > 0) events.OnCommand(IDC_QUIT);
  };
  CVarneUpdaterDlg dialog(view);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(dialog.DoModal(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(dialog.RunCompleted());
  EXPECT_EQ(test_support::Take(install.GetPath()).size(), 1u);  // the package alone
}

}  // namespace
