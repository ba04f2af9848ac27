#include "ui/varne_updater_dlg.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "base/exception.h"
#include "engine_harness.h"
#include "net/testing/scripted_server.h"
#include "platform/path.h"
#include "platform/text.h"
#include "res/resource.h"
#include "ui/bmp_file.h"
#include "ui/testing/recording_view.h"

namespace {

using net_testing::Reply;
using net_testing::ScriptedServer;
using test_support::InstallFolder;
using test_support::ListThenPackages;
using test_support::Md5Of;
using test_support::PackageOf;
using ui_testing::RecordingView;

constexpr char kErrorLead[] =
    "エラーが発生しました。\r\n少し時間をおいて、再度アップデートしてください。\r\n\r\n詳細:\r\n";

// 4 x 2 pixels whose top-left and bottom-right pixels have the key colour.
std::string Skin() { return bmp::Bmp24(4, 2, {0xFF00FF, 1, 1, 1, 1, 1, 1, 0xFF00FF}); }

std::string Script(const std::string& body) { return "#!/bin/sh\n" + body + "\n"; }

// Installs the game's package with the settings and the skin (and any other entries), and reads
// it into the process's file manager as start-up does.
void InstallPackage(const InstallFolder& install, const std::string& settings,
                    std::vector<std::pair<std::string, std::string>> entries = {}) {
  entries.emplace_back("dlgconfig.conf", test_support::Utf16LeWithBom(settings));
  entries.emplace_back("skin.bmp", Skin());
  install.Write("RV7.VPK", PackageOf(entries));
  Singleton<VarneFileManager>::GetInstance()->ClearFileList();
  Singleton<VarneFileManager>::GetInstance()->ReadPackage(".\\RV7.vpk");
}

std::string Settings(const ScriptedServer& server, const std::string& more = "") {
  return "main_image=skin.bmp\r\nserverside_url=http://127.0.0.1:" +
         std::to_string(server.GetPort()) + "/list\r\n" + more;
}

bool WaitForFile(const InstallFolder& install, const std::string& name) {
  return test_support::Eventually([&] { return install.Exists(name); }, 5);
}

size_t IndexOf(const RecordingView& view, const std::string& line) {
  const auto at = std::find(view.log.begin(), view.log.end(), line);
  return at == view.log.end() ? std::string::npos : size_t(at - view.log.begin());
}

TEST(UpdaterDialogTest, TickShowsTheSnapshotOnTheBars) {
  RecordingView view;
  CVarneUpdaterDlg dialog(view);
  const char* kFailure = "DownloadManager : List file error.";
  struct Case {
    int total, done;
    const char* text;
    int size, received;
    ui_testing::Bar task;
    const char* shown;
  };
  const Case cases[] = {
      {3, 1, "a.txt", 0, 0, {0, 0, 0}, "a.txt"},
      {3, 1, "a.txt", 5000, 2500, {0, 1000, 500}, "a.txt"},
      {3, 1, "a.txt", 1000, 999, {0, 1000, 999}, "a.txt"},
      {3, 1, "a.txt", 1001, 1001, {0, 1000, 1000}, "a.txt"},
      // Sizes are read as unsigned 32-bit numbers.
      {3, 1, "a.txt", -1, 0x7FFFFFFF, {0, 1000, 499}, "a.txt"},
      {3, 1, "a.txt", 1001, -1, {0, 1000, 1000}, "a.txt"},
      // Every file counted is not yet a completed run: only the manager can tell.
      {0, 0, kFailure, 0, 0, {0, 0, 0}, kFailure},
  };
  for (const Case& c : cases) {
    const std::tstring text = c.text;
    CVarneUpdaterDlg::OnDownloadProgress(c.total, c.done, &text, c.size, c.received, &dialog);
    dialog.OnTimer(CVarneUpdaterDlg::kTimerId);
    EXPECT_EQ(view.bars[IDC_TASK_PROGRESS], c.task) << c.size << " " << c.received;
    EXPECT_EQ(view.bars[IDC_MAIN_PROGRESS], (ui_testing::Bar{0, c.total, c.done}));
    EXPECT_EQ(view.texts[IDC_TASK_EDIT], c.shown);
  }
  // A range is 16 bits wide; a release of more files still fills the overall bar step by step.
  std::vector<int> positions;
  for (int done = 0; done <= 70000; done += 7000) {
    CVarneUpdaterDlg::OnDownloadProgress(70000, done, nullptr, 0, 0, &dialog);
    dialog.OnTimer(CVarneUpdaterDlg::kTimerId);
    EXPECT_EQ(view.bars[IDC_MAIN_PROGRESS].upper, 1000);
    positions.push_back(view.bars[IDC_MAIN_PROGRESS].position);
  }
  EXPECT_EQ(positions, (std::vector<int>{0, 100, 200, 300, 400, 500, 600, 700, 800, 900, 1000}));
  EXPECT_EQ(view.texts[IDC_TASK_EDIT], "");

  // Other timers, Enter and Escape change nothing; the system menu's commands.
  const size_t calls = view.log.size();
  dialog.OnTimer(7);
  dialog.OnOK();
  dialog.OnCancel();
  EXPECT_EQ(view.log.size(), calls);
  dialog.OnSysCommand(IDM_ABOUTBOX | 3);
  dialog.OnSysCommand(0xF020);
  dialog.OnSysCommand(IDialogView::kCloseCommand);
  EXPECT_EQ(std::vector<std::string>(view.log.begin() + calls, view.log.end()),
            (std::vector<std::string>{"about バージョン情報: RV7 Updater Version 1.0 / "
                                      "ゲームのファイルを最新の版に更新します。",
                                      "default command 61472", "end 1"}));
}

TEST(UpdaterDialogTest, LayoutFromTheSettings) {
  ScriptedServer server;
  InstallFolder install;
  server.SetReplies(ListThenPackages("1::a.txt:1:" + Md5Of("x") + "\r\n"));
  install.Write("a.txt", "x");
  const std::pair<std::string, std::vector<std::string>> layouts[] = {
      {"",
       {"move 1000 0,0 0x0", "move 1001 0,0 0x0", "move 1003 0,0 0x0", "move 1005 0,0 0x0",
        "move 1004 0,0 0x0", "font 1003 -2 -1 400"}},
      {"main_progress_x=1\r\nmain_progress_y=2\r\nmain_progress_width=3\r\n"
       "main_progress_height=4\r\ntask_progress_x=5\r\ntask_progress_height=6\r\n"
       "task_edit_y=7\r\ntask_edit_width=100\r\ntask_edit_height=15\r\n"
       "quit_btn_x=8\r\nquit_btn_width=9\r\nmain_btn_y=10\r\nmain_btn_height=11\r\n",
       {"move 1000 1,2 3x4", "move 1001 5,0 0x6", "move 1003 0,7 100x15", "move 1005 8,0 9x0",
        "move 1004 0,10 0x11", "font 1003 13 6 400"}},
  };
  for (const auto& [layout, expected] : layouts) {
    InstallPackage(install, Settings(server, layout));
    RecordingView view;
    view.desktop = {1025, 768};
    CVarneUpdaterDlg dialog(view);
    view.on_tick = [](IDialogEvents& events, int) { events.OnCommand(IDC_QUIT); };
    EXPECT_EQ(dialog.DoModal(), 1);
    std::vector<std::string> placed = view.Calls("move ");
    placed.push_back(view.Calls("font ").at(0));
    EXPECT_EQ(placed, expected);
    EXPECT_EQ(view.Calls("window "), std::vector<std::string>{"window 510,383 4x2"});
    EXPECT_EQ(view.region.rects, (std::vector<RegionRect>{{1, 0, 4, 1}, {0, 1, 3, 2}}));
    EXPECT_EQ(view.Calls("menu "),
              std::vector<std::string>{"menu 16 バージョン情報 RV7Updater(&A)..."});
    EXPECT_EQ(view.Calls("enable "), std::vector<std::string>{"enable 1004 off"});
    EXPECT_EQ(view.texts[IDC_TASK_EDIT], "no tasks.");
    EXPECT_EQ(view.Calls("start timer"), std::vector<std::string>{"start timer 0 10"});
    EXPECT_EQ(view.log.back(), "stop timer 0");
    EXPECT_FALSE(dialog.ErrorShown());
  }
}

TEST(UpdaterDialogTest, CreationAndInitialisationFailuresEndTheDialog) {
  InstallFolder install;
  const std::pair<std::string, std::string> cases[] = {
      {"", "VarneFileSystem : no file in this package.file : dlgconfig.conf"},
      {"main_image=missing.bmp\r\n", "DibSection : Image Load Error : missing.bmp"},
      {"main_image=skin.bmp\r\n", "初期化失敗 : NULL Window"},
  };
  for (const auto& [settings, message] : cases) {
    if (settings.empty()) {
      install.Write("RV7.VPK", PackageOf("other.txt", "x"));
      Singleton<VarneFileManager>::GetInstance()->ReadPackage(".\\RV7.vpk");
    } else {
      InstallPackage(install, settings);
    }
    RecordingView view;
    if (message.find("NULL") != std::string::npos) view.RemoveControl(IDC_START_GAME);
    CVarneUpdaterDlg dialog(view);
    EXPECT_EQ(dialog.DoModal(), 1);
    EXPECT_EQ(view.boxes, (std::vector<std::pair<std::string, std::string>>{{"エラー", message}}));
    EXPECT_EQ(view.ticks, 0);
    EXPECT_TRUE(dialog.ErrorShown());
  }
}

TEST(UpdaterDialogTest, ACompletedRunEnablesTheStartButton) {
  ScriptedServer server;
  InstallFolder install;
  install.Write("a.txt", "x");
  install.Write("game.sh", Script("echo \"$@\" > started"));
  std::filesystem::permissions(install.GetPath() / "game.sh", std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  InstallPackage(install, Settings(server, "runfilename=game.sh one two\r\n"));
  server.SetReplies(ListThenPackages("1::a.txt:1:" + Md5Of("x") + "\r\n"));
  RecordingView view;
  CVarneUpdaterDlg dialog(view);
  view.on_idle = [](IDialogEvents& events) { events.OnCommand(IDC_START_GAME); };
  EXPECT_EQ(dialog.DoModal(), -1);
  EXPECT_TRUE(dialog.RunCompleted());
  EXPECT_FALSE(dialog.ErrorShown());
  EXPECT_TRUE(view.boxes.empty());
  EXPECT_EQ(view.texts[IDC_TASK_EDIT], "Completed.");
  EXPECT_EQ(view.bars[IDC_MAIN_PROGRESS], (ui_testing::Bar{0, 1, 1}));
  EXPECT_EQ(view.Calls("enable "), (std::vector<std::string>{"enable 1004 off", "enable 1004 on"}));
  EXPECT_LT(IndexOf(view, "stop timer 0"), IndexOf(view, "enable 1004 on"));
  ASSERT_TRUE(WaitForFile(install, "started"));
  EXPECT_EQ(install.Read("started"), "one two\n");

  // A game that cannot be started ends the dialog with the error for start-up to show.
  InstallPackage(install, Settings(server, "runfilename=missing.exe\r\n"));
  RecordingView second;
  CVarneUpdaterDlg failing(second);
  second.on_idle = [](IDialogEvents& events) { events.OnCommand(IDC_START_GAME); };
  try {
    failing.DoModal();
    ADD_FAILURE();
  } catch (const Exception& failure) {
    EXPECT_EQ(failure.GetText(), "Main Exe File Error.");
  }
  EXPECT_EQ(second.log.back(), "stop timer 0");
  EXPECT_FALSE(failing.ErrorShown());
}

TEST(UpdaterDialogTest, AFailedRunShowsTheEnginesErrorAndNeverCompleted) {
  ScriptedServer server;
  InstallFolder install;
  InstallPackage(install, Settings(server));
  server.SetReplies(ListThenPackages("1::a.txt:1\r\n"));
  RecordingView view;
  CVarneUpdaterDlg dialog(view);
  EXPECT_EQ(dialog.DoModal(), -1);
  const std::string box = kErrorLead + std::string("DownloadManager : List file error.");
  EXPECT_EQ(view.boxes, (std::vector<std::pair<std::string, std::string>>{{"エラー", box}}));
  for (const std::string& text : view.Calls("text 1003 ")) {
    EXPECT_EQ(text.find("Completed"), std::string::npos);
  }
  EXPECT_LT(IndexOf(view, "stop timer 0"), IndexOf(view, "box エラー: " + box));
  EXPECT_EQ(view.log.back(), "stop timer 0");
  EXPECT_EQ(view.Calls("quit "), std::vector<std::string>{"quit 0"});
  EXPECT_EQ(view.Calls("enable "), std::vector<std::string>{"enable 1004 off"});
  EXPECT_TRUE(dialog.ErrorShown());
  EXPECT_FALSE(dialog.RunCompleted());
}

TEST(UpdaterDialogTest, SwapHandOverThenRestart) {
  ScriptedServer server;
  InstallFolder install;
  install.Write("RV7WIN9XME.EXE", Script("echo restarted > restarted"));
  std::filesystem::permissions(install.GetPath() / "RV7WIN9XME.EXE",
                               std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  InstallPackage(install, Settings(server));
  // The new package carries the swap program, which the dialog writes out of it.
  const std::string new_updater = Script("echo new");
  const std::string new_package =
      PackageOf({{"rv7swap_ansi.exe", Script("echo swap > swapped")},
                 {"dlgconfig.conf", test_support::Utf16LeWithBom(Settings(server))}});
  server.SetReplies(ListThenPackages(
      "1::RV7WIN9XME.EXE:" + std::to_string(new_updater.size()) + ":" + Md5Of(new_updater) +
          "\r\n1::RV7.VPK:" + std::to_string(new_package.size()) + ":" + Md5Of(new_package) +
          "\r\n",
      {PackageOf("RV7WIN9XME.EXE", new_updater), PackageOf("RV7.VPK", new_package)}));
  RecordingView view;
  CVarneUpdaterDlg dialog(view);
  // The program's folder may hold blanks; the swap program then runs all the same.
  std::filesystem::create_directory(install.GetPath() / "Game Folder");
  dialog.SetModuleFolder(platform::ToInternalPath(install.GetPath().string()) + "\\Game Folder\\");
  EXPECT_EQ(dialog.DoModal(), -1);
  EXPECT_TRUE(dialog.RunCompleted());
  EXPECT_EQ(view.boxes, (std::vector<std::pair<std::string, std::string>>{
                            {"確認", "アップデータの更新を行います"},
                            {"確認", "アップデータが更新されました。\r\n再起動します。"}}));
  EXPECT_EQ(view.Calls("quit "), (std::vector<std::string>{"quit 0", "quit 0"}));
  EXPECT_EQ(install.Read("RV7WIN9XME.SWAP"), new_updater);
  EXPECT_EQ(install.Read("Game Folder/rv7swap_ansi.exe"), Script("echo swap > swapped"));
  EXPECT_TRUE(WaitForFile(install, "swapped"));
  EXPECT_TRUE(WaitForFile(install, "restarted"));

  // A swap file left behind starts the hand-over again, which fails without the swap program in
  // the package; nothing else was replaced, so there is no restart.
  InstallPackage(install, Settings(server));
  server.SetReplies(
      ListThenPackages("1::RV7WIN9XME.EXE:1:" + Md5Of(install.Read("RV7WIN9XME.EXE")) + "\r\n"));
  RecordingView again;
  CVarneUpdaterDlg failing(again);
  failing.SetModuleFolder(platform::ToInternalPath(install.GetPath().string()) + "\\");
  failing.DoModal();
  EXPECT_EQ(again.boxes, (std::vector<std::pair<std::string, std::string>>{
                             {"エラー", kErrorLead + std::string("VarneFileSystem : no file in "
                                                                 "this package.file : "
                                                                 "rv7swap_ansi.exe")}}));
  EXPECT_EQ(again.Calls("enable "), std::vector<std::string>{"enable 1004 off"});
}

TEST(UpdaterDialogTest, QuitDuringARunStopsIt) {
  ScriptedServer server;
  InstallFolder install;
  InstallPackage(install, Settings(server));
  Reply slow{{"HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n"}, 50};
  for (int i = 0; i < 200; ++i) slow.pieces.push_back(std::string(500, 'x'));
  server.SetReplies({{{"HTTP/1.0 200 OK\r\n\r\n1::slow.bin:100000:" + Md5Of("y") + "\r\n"}}, slow});
  RecordingView view;
  CVarneUpdaterDlg dialog(view);
  view.on_tick = [&view](IDialogEvents& events, int) {
    if (view.bars[IDC_TASK_PROGRESS].position > 0) events.OnCommand(IDC_QUIT);
  };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(dialog.DoModal(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(view.bars[IDC_TASK_PROGRESS].upper, 1000);
  EXPECT_FALSE(dialog.RunCompleted());
  EXPECT_FALSE(install.Exists("slow.bin"));
  EXPECT_TRUE(install.TemporaryFiles().empty());
}

}  // namespace
