// Start-up as the updater runs it, with a fake dialog and fake processes and windows: the
// single-instance check, the swap program and the game, and what each outcome shows. Real windows
// (the running game's and a second copy's raised) and the restart are tested in tests/window and
// tests/app.
#include "app/varne_updater_app.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>

#include "app/mutex.h"
#include "app/swap_cleanup.h"
#include "base/exception.h"
#include "config/config_base.h"
#include "demo_skin.h"
#include "site/install_names.h"
#include "storage/i_file_manager.h"
#include "storage/testing/storage_test_util.h"
#include "storage/testing/test_folder.h"
#include "ui/testing/fake_processes.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using App = CVarneUpdaterApp;
using Lines = std::vector<std::string>;

// An install folder whose package ".\RV7.vpk" holds "dlgconfig.conf" naming the game (none when
// run_file is null), stored as UTF-16LE with a byte-order mark.
class Install : public TestFolder {
 public:
  explicit Install(const char* run_file) {
    const std::string config =
        demo::Utf16LeFromAscii("runfilename=" + std::string(run_file ? run_file : "") + "\r\n");
    Write("RV7.vpk", TestPackage({{run_file ? kDialogConfigName : "other.txt", config}}).Bytes());
  }
  std::tstring UpdaterPath() const { return Path("RV7WIN9XME.EXE"); }
  std::tstring InstanceName() const {
    std::tstring name = Path("RV7.EXE");
    name.BackslashesToQuestionMarks();
    return name;
  }
};

// Records what start-up shows; the dialog's behaviour is the test's choice.
class FakeUi : public IStartupUi {
 public:
  void ShowMessageBox(const std::tstring& caption, const std::tstring& text) override {
    boxes.push_back(caption + "|" + text);
  }
  void RunDialog() override {
    ++dialogs;
    if (dialog) dialog();
  }
  bool RunCompleted() const override { return completed; }
  bool ErrorShown() const override { return error_shown; }

  std::vector<std::string> boxes;
  int dialogs = 0;
  bool completed = true, error_shown = false;
  std::function<void()> dialog;
};

class StartupTest : public testing::Test {
 protected:
  void TearDown() override { fs::current_path(previous_); }

  // Runs start-up as the updater of `install`, with singletons of its own.
  int Run(const Install& install, FakeUi& ui) {
    SingletonManager singletons;
    App app(processes_, processes_, singletons, install.UpdaterPath(),
            std::chrono::milliseconds(50));
    return app.Run(ui);
  }

  const fs::path previous_ = fs::current_path();
  update_testing::FakeProcesses processes_;
};

const std::string kError =
    "エラー|エラーが発生しました。\r\n少し時間をおいて、再度アップデートしてください。\r\n\r\n詳細:"
    "\r\n";

// The one table of start-up outcomes, with the exact texts of their boxes and, where given, what
// start-up asked of other processes and windows.
TEST_F(StartupTest, OutcomesAndTheirBoxes) {
  struct Case {
    const char* name;
    const char* run_file = "game.exe";
    int status;
    std::string box = {};  // caption|text, or none
    int dialogs = 1;
    std::optional<Lines> processes = {};
    std::function<void(const Install&, FakeUi&)> arrange = [](auto&, auto&) {};
  };
  const std::string quit_game = "ご案内|アップデートする際はゲームを終了してください。";
  const std::string wait_swap = "wait ~\\rv7swap_ansi.exe", find_game = "find ~\\game.exe";
  std::optional<Mutex> other_copy;
  const Case cases[] = {
      // In the install folder, with the package open and the left-over swap program gone once it
      // has ended; a copy for another install folder does not count.
      {.name = "runs",
       .status = App::kRunCompleted,
       .processes = Lines{wait_swap, find_game, "running? ~\\game.exe"},
       .arrange =
           [&](const Install& install, FakeUi& ui) {
             install.Write("rv7swap_ansi.exe", "left over");
             processes_.on_wait = [] { EXPECT_TRUE(fs::exists("rv7swap_ansi.exe")); };
             other_copy.emplace();
             ASSERT_EQ(other_copy->Create(Install("x").InstanceName()), 0);
             ui.dialog = [&install] {
               EXPECT_TRUE(fs::equivalent(fs::current_path(), install.Native()));
               EXPECT_FALSE(fs::exists("rv7swap_ansi.exe"));
               DlgConfig config;
               config.LoadFromPackfile(kDialogConfigName);  // through the file manager
               EXPECT_EQ(config.LoadString("runfilename", ""), "game.exe");
             };
           }},
      {.name = "no game named", .run_file = "", .status = App::kRunCompleted},
      // On a desktop the game is a window: a process without one is not what the user plays.
      {.name = "game's process on a desktop",
       .status = App::kRunCompleted,
       .processes = Lines{wait_swap, find_game},
       .arrange =
           [&](auto&, auto&) {
             processes_.desktop = true;
             processes_.running = {"~\\game.exe"};
           }},
      {.name = "run incomplete",
       .status = App::kFailed,
       .arrange = [](auto&, FakeUi& ui) { ui.completed = false; }},
      {.name = "error shown",
       .status = App::kFailed,
       .arrange = [](auto&, FakeUi& ui) { ui.error_shown = true; }},
      {.name = "dialog throws",
       .status = App::kFailed,
       .box = kError + "ゲームを起動できませんでした。",
       .arrange =
           [](auto&, FakeUi& ui) {
             ui.dialog = [] { throw Exception("ゲームを起動できませんでした。", true); };
           }},
      {.name = "dialog throws something else",
       .status = App::kFailed,
       .box =
           "エラー|不明なエラーで終了しました\r\n少し時間をおいて、再度アップデートしてください。",
       .arrange = [](auto&, FakeUi& ui) { ui.dialog = [] { throw std::bad_alloc(); }; }},
      {.name = "no configuration",
       .run_file = nullptr,
       .status = App::kFailed,
       .box = kError + "ConfigBase : File Open Error. : dlgconfig.conf" +
              CauseParagraph(ErrorCause::kInstall, {"dlgconfig.conf", {}}),
       .dialogs = 0},
      {.name = "another copy",
       .status = App::kRefused,
       .dialogs = 0,
       .arrange =
           [&](const Install& install, auto&) {
             other_copy.emplace();
             ASSERT_EQ(other_copy->Create(install.InstanceName()), 0);
           }},
      // Without a desktop, a process running the game's file is the game.
      {.name = "game runs",
       .status = App::kRefused,
       .box = quit_game,
       .dialogs = 0,
       .processes = Lines{wait_swap, find_game, "running? ~\\game.exe"},
       .arrange = [&](auto&, auto&) { processes_.running = {"~\\game.exe"}; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Install install(c.run_file);
    processes_ = {};
    processes_.folder = install.Path();
    FakeUi ui;
    c.arrange(install, ui);
    EXPECT_EQ(Run(install, ui), c.status);
    EXPECT_EQ(ui.boxes, c.box.empty() ? Lines{} : Lines{c.box});
    EXPECT_EQ(ui.dialogs, c.dialogs);
    EXPECT_EQ(processes_.log, c.processes.value_or(processes_.log));
    other_copy.reset();
  }
  EXPECT_EQ(Singleton<IFileManager>::GetInstance(), nullptr);
}

// Made read-only by permission bits, which folders on Windows do not have: refused before any
// other process is looked at.
TEST_F(StartupTest, AReadOnlyFolderIsRefusedFirst) {
  const Install install("game.exe");
  fs::permissions(install.Native(), fs::perms::owner_read | fs::perms::owner_exec);
  FakeUi ui;
  EXPECT_EQ(Run(install, ui), App::kFailed);
  EXPECT_EQ(ui.boxes, Lines{kError + "インストールフォルダが読み込み専用フォルダになっているため"
                                     "アップデート出来ません."});
  EXPECT_EQ(ui.dialogs, 0);
  EXPECT_EQ(processes_.log, Lines{});
}

// Something that cannot be deleted as a file: three tries, a pause after each, then go on.
TEST_F(StartupTest, ASwapProgramThatCannotBeDeletedIsLeftAfterThreeTries) {
  const Install install("game.exe");
  fs::current_path(install.Native());
  fs::create_directories(install.Native("rv7swap_ansi.exe/inside"));
  const auto before = Clock::now();
  CleanUpSwapProgram(processes_, install.Path("rv7swap_ansi.exe"), std::chrono::milliseconds(100));
  EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(300));
  EXPECT_TRUE(fs::exists(install.Native("rv7swap_ansi.exe")));
}

}  // namespace
