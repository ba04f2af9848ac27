// Start-up as the updater runs it, with a fake dialog and no desktop: the single-instance check,
// the game and swap-program checks through the window finder, and what each outcome shows. Real
// windows, a second copy raising the first and the restart are tested in tests/window and
// tests/app.
#include "app/varne_updater_app.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>

#include "app/mutex.h"
#include "app/swap_cleanup.h"
#include "app/window_finder.h"
#include "base/exception.h"
#include "config/config_base.h"
#include "platform/process.h"
#include "platform/process_list.h"
#include "storage/i_file_manager.h"
#include "storage/testing/storage_test_util.h"
#include "storage/testing/test_folder.h"
#include "support/posix_environment.h"
#include "support/scratch.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using App = CVarneUpdaterApp;

// An install folder whose package ".\RV7.vpk" holds "dlgconfig.conf" naming the game (none when
// run_file is null), stored as UTF-16LE with a byte-order mark.
class Install {
 public:
  explicit Install(const char* run_file) {
    const std::string config = test_support::Utf16LeWithBom(
        "runfilename=" + std::string(run_file ? run_file : "") + "\r\n");
    folder_.Write("RV7.vpk",
                  TestPackage({{run_file ? "dlgconfig.conf" : "other.txt", config}}).Bytes());
  }
  const TestFolder& Folder() const { return folder_; }
  std::tstring UpdaterPath() const { return folder_.Path("RV7WIN9XME.EXE"); }
  std::tstring InstanceName() const {
    std::tstring name = folder_.Path("RV7.EXE");
    name.BackslashesToQuestionMarks();
    return name;
  }
  // Runs a copy of sleep as `name` in this folder for `seconds`; returns once it runs.
  void StartCopy(const std::string& name, const std::string& seconds) const {
    fs::copy_file("/bin/sleep", folder_.Native(name), fs::copy_options::overwrite_existing);
    ASSERT_TRUE(platform::StartProcess(name + " " + seconds, folder_.Path()));
    ASSERT_TRUE(test_support::Eventually(
        [&] { return Util::WindowFinder().IsModuleRunning(folder_.Path(name)); }, 1));
  }

 private:
  TestFolder folder_;
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
  // Start-up looks for windows only where there is a desktop; these tests run without one.
  void SetUp() override { unsetenv("DISPLAY"); }
  void TearDown() override { fs::current_path(previous_); }

  // Runs start-up as the updater of `install`, with singletons of its own.
  static int Run(const Install& install, FakeUi& ui) {
    SingletonManager singletons;
    App app(singletons, install.UpdaterPath(), std::chrono::milliseconds(50));
    return app.Run(ui);
  }

  const fs::path previous_ = fs::current_path();
};

const std::string kError =
    "エラー|エラーが発生しました。\r\n少し時間をおいて、再度アップデートしてください。\r\n\r\n詳細:"
    "\r\n";

// The one table of start-up outcomes, with the exact texts of their boxes.
TEST_F(StartupTest, OutcomesAndTheirBoxes) {
  struct Case {
    const char* name;
    const char* run_file;
    std::function<void(const Install&, FakeUi&)> arrange;
    int status;
    std::string box;  // caption|text, or none
    int dialogs;
  };
  std::optional<Mutex> other_copy;
  const Case cases[] = {
      // In the install folder, with the package open and the left-over swap program gone; a
      // copy for another install folder does not count.
      {"runs", "game.exe",
       [&](const Install& install, FakeUi& ui) {
         install.Folder().Write("rv7swap_ansi.exe", "left over");
         other_copy.emplace();
         ASSERT_EQ(other_copy->Create(Install("x").InstanceName()), 0);
         ui.dialog = [&install] {
           EXPECT_TRUE(fs::equivalent(fs::current_path(), install.Folder().Native()));
           EXPECT_FALSE(fs::exists("rv7swap_ansi.exe"));
           DlgConfig config;
           config.LoadFromPackfile("dlgconfig.conf");  // through the file manager
           EXPECT_EQ(config.LoadString("runfilename", ""), "game.exe");
         };
       },
       App::kRunCompleted, "", 1},
      {"no game named", "", [](const Install&, FakeUi&) {}, App::kRunCompleted, "", 1},
      {"run incomplete", "game.exe", [](const Install&, FakeUi& ui) { ui.completed = false; },
       App::kFailed, "", 1},
      {"error shown", "game.exe", [](const Install&, FakeUi& ui) { ui.error_shown = true; },
       App::kFailed, "", 1},
      {"dialog throws", "game.exe",
       [](const Install&, FakeUi& ui) {
         ui.dialog = [] { throw Exception("ゲームを起動できませんでした。", true); };
       },
       App::kFailed, kError + "ゲームを起動できませんでした。", 1},
      {"dialog throws something else", "game.exe",
       [](const Install&, FakeUi& ui) { ui.dialog = [] { throw std::bad_alloc(); }; }, App::kFailed,
       "エラー|不明なエラーで終了しました\r\n少し時間をおいて、再度アップデートしてください。", 1},
      {"read-only folder", "game.exe",
       [](const Install& install, FakeUi&) {
         install.Folder().Write("rv7swap_ansi.exe", "left over");
         fs::permissions(install.Folder().Native(), fs::perms::owner_read | fs::perms::owner_exec);
       },
       App::kFailed,
       kError + "インストールフォルダが読み込み専用フォルダになっているためアップデート出来ません.",
       0},
      {"no configuration", nullptr, [](const Install&, FakeUi&) {}, App::kFailed,
       kError + "VarneFileSystem : no file in this package.file : dlgconfig.conf", 0},
      {"another copy", "game.exe",
       [&](const Install& install, FakeUi&) {
         other_copy.emplace();
         ASSERT_EQ(other_copy->Create(install.InstanceName()), 0);
       },
       App::kRefused, "", 0},
      {"game runs", "bin\\game.EXE",  // found without regard to case
       [](const Install& install, FakeUi&) {
         fs::create_directories(install.Folder().Native("bin"));
         install.StartCopy("bin/Game.exe", "2");
       },
       App::kRefused, "ご案内|アップデートする際はゲームを終了してください。", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Install install(c.run_file);
    FakeUi ui;
    c.arrange(install, ui);
    EXPECT_EQ(Run(install, ui), c.status);
    EXPECT_EQ(ui.boxes, c.box.empty() ? std::vector<std::string>{} : std::vector{c.box});
    EXPECT_EQ(ui.dialogs, c.dialogs);
    other_copy.reset();
  }
  EXPECT_EQ(Singleton<IFileManager>::GetInstance(), nullptr);
}

TEST_F(StartupTest, SwapProgramIsAwaitedThenRemovedOrLeftAfterThreeTries) {
  const Install install("game.exe");
  fs::current_path(install.Folder().Native());
  install.StartCopy("rv7swap_ansi.exe", "0.4");
  auto before = Clock::now();
  CleanUpSwapProgram(install.Folder().Path("rv7swap_ansi.exe"), std::chrono::milliseconds(1000));
  EXPECT_GT(Clock::now() - before, std::chrono::milliseconds(200));
  EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(900));
  EXPECT_FALSE(fs::exists(install.Folder().Native("rv7swap_ansi.exe")));

  // Something that cannot be deleted as a file: three tries, a pause after each, then go on.
  fs::create_directories(install.Folder().Native("rv7swap_ansi.exe/inside"));
  before = Clock::now();
  CleanUpSwapProgram(install.Folder().Path("rv7swap_ansi.exe"), std::chrono::milliseconds(100));
  EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(300));
  EXPECT_TRUE(fs::exists(install.Folder().Native("rv7swap_ansi.exe")));
}

}  // namespace
