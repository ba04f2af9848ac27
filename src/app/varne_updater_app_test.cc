#include "app/varne_updater_app.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "app/app_test_util.h"
#include "app/mutex.h"
#include "app/swap_cleanup.h"
#include "base/exception.h"
#include "config/config_base.h"
#include "storage/i_file_manager.h"

namespace {

namespace fs = std::filesystem;
using app_test::FakeUi;
using app_test::Install;

const std::string kErrorLead =
    "エラーが発生しました。\r\n少し時間をおいて、再度アップデートしてください。\r\n\r\n詳細:\r\n";

class StartupTest : public testing::Test {
 protected:
  void SetUp() override {
    app_test::WithoutDisplay();
    previous_ = fs::current_path();
  }
  void TearDown() override { fs::current_path(previous_); }

  // Runs start-up as the updater of `install`, with its own singletons (deleted afterwards, so
  // that the next run creates its file manager afresh).
  int Run(const Install& install, FakeUi& ui) {
    SingletonManager singletons;
    CVarneUpdaterApp app(singletons, install.UpdaterPath(), std::chrono::milliseconds(50));
    return app.Run(ui);
  }

  fs::path previous_;
};

TEST_F(StartupTest, RunsTheDialogInTheInstallFolderWithThePackageOpen) {
  const Install install = Install::WithGame("game.exe");
  install.Folder().Write("rv7swap_ansi.exe", "left over");
  FakeUi ui;
  std::tstring run_file;
  ui.dialog = [&](FakeUi&) {
    EXPECT_TRUE(fs::equivalent(fs::current_path(), install.Folder().Native()));
    ASSERT_NE(Singleton<IFileManager>::GetInstance(), nullptr);
    DlgConfig config;
    config.LoadFromPackfile("dlgconfig.conf");  // read from the package through the manager
    run_file = config.LoadString("runfilename", "");
  };
  EXPECT_EQ(Run(install, ui), CVarneUpdaterApp::kRunCompleted);
  EXPECT_EQ(ui.dialogs, 1);
  EXPECT_EQ(run_file, "game.exe");
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_FALSE(fs::exists(install.Folder().Native("rv7swap_ansi.exe")));
  EXPECT_EQ(Singleton<IFileManager>::GetInstance(), nullptr);

  // How the dialog ended decides the status.
  ui.completed = false;
  EXPECT_EQ(Run(install, ui), CVarneUpdaterApp::kFailed);
  ui.completed = true;
  ui.error_shown = true;
  EXPECT_EQ(Run(install, ui), CVarneUpdaterApp::kFailed);
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(StartupTest, FailuresFromTheDialogAreShown) {
  const Install install = Install::WithGame("game.exe");
  FakeUi ui;
  ui.dialog = [](FakeUi&) { throw Exception("ゲームを起動できませんでした。", true); };
  EXPECT_EQ(Run(install, ui), CVarneUpdaterApp::kFailed);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].caption, "エラー");
  EXPECT_EQ(ui.boxes[0].text, kErrorLead + "ゲームを起動できませんでした。");

  ui.boxes.clear();
  ui.dialog = [](FakeUi&) { throw std::bad_alloc(); };
  EXPECT_EQ(Run(install, ui), CVarneUpdaterApp::kFailed);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text,
            "不明なエラーで終了しました\r\n少し時間をおいて、再度アップデートしてください。");
}

TEST_F(StartupTest, RefusesAReadOnlyFolderBeforeOpeningThePackage) {
  const Install install = Install::WithGame("game.exe");
  install.Folder().Write("rv7swap_ansi.exe", "left over");
  fs::permissions(install.Folder().Native(), fs::perms::owner_read | fs::perms::owner_exec);
  FakeUi ui;
  ui.dialog = [](FakeUi&) { FAIL(); };
  {
    SingletonManager singletons;
    CVarneUpdaterApp app(singletons, install.UpdaterPath(), std::chrono::milliseconds(1));
    EXPECT_EQ(app.Run(ui), CVarneUpdaterApp::kFailed);
    EXPECT_EQ(Singleton<IFileManager>::GetInstance(), nullptr);
    // The single-instance check has run already.
    Mutex probe;
    EXPECT_EQ(probe.Create(install.InstanceName()), 1);
  }
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].caption, "エラー");
  EXPECT_EQ(
      ui.boxes[0].text,
      kErrorLead +
          "インストールフォルダが読み込み専用フォルダになっているためアップデート出来ません.");
  EXPECT_TRUE(fs::exists(install.Folder().Native("rv7swap_ansi.exe")));
}

TEST_F(StartupTest, ConfigurationErrors) {
  FakeUi ui;
  const Install without_config(app_test::Entries{{"other.txt", "x"}});
  EXPECT_EQ(Run(without_config, ui), CVarneUpdaterApp::kFailed);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text.rfind(kErrorLead, 0), 0u);
  EXPECT_NE(ui.boxes[0].text.find("dlgconfig.conf"), std::string::npos) << ui.boxes[0].text;

  ui.boxes.clear();
  const Install without_package = Install::WithGame("game.exe");
  fs::remove(without_package.Folder().Native("RV7.vpk"));
  EXPECT_EQ(Run(without_package, ui), CVarneUpdaterApp::kFailed);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text.rfind(kErrorLead, 0), 0u);
  EXPECT_EQ(ui.dialogs, 0);
}

TEST_F(StartupTest, RefusesWhileAnotherCopyOrTheGameRuns) {
  const Install install = Install::WithGame("bin\\Game.exe");
  FakeUi ui;
  {
    Mutex other_copy;
    ASSERT_EQ(other_copy.Create(install.InstanceName()), 0);
    EXPECT_EQ(Run(install, ui), CVarneUpdaterApp::kRefused);
    EXPECT_TRUE(ui.boxes.empty());
    // A copy for another folder is not affected.
    const Install elsewhere = Install::WithGame("game.exe");
    EXPECT_EQ(Run(elsewhere, ui), CVarneUpdaterApp::kRunCompleted);
  }
  EXPECT_EQ(ui.dialogs, 1);

  fs::create_directories(install.Folder().Native("bin"));
  install.StartCopy("bin/Game.exe", "2");
  EXPECT_EQ(Run(install, ui), CVarneUpdaterApp::kRefused);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].caption, "ご案内");
  EXPECT_EQ(ui.boxes[0].text, "アップデートする際はゲームを終了してください。");
  EXPECT_EQ(ui.dialogs, 1);

  // An empty run file name is the folder itself, which no process runs.
  const Install no_game = Install::WithGame("");
  ui.boxes.clear();
  EXPECT_EQ(Run(no_game, ui), CVarneUpdaterApp::kRunCompleted);
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(StartupTest, SwapProgramIsAwaitedThenRemovedOrLeftAfterThreeTries) {
  const Install install = Install::WithGame("game.exe");
  fs::current_path(install.Folder().Native());
  install.StartCopy("rv7swap_ansi.exe", "0.4");
  auto before = std::chrono::steady_clock::now();
  CleanUpSwapProgram(install.Folder().Path("rv7swap_ansi.exe"), std::chrono::milliseconds(1000));
  EXPECT_GT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(200));
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(900));
  EXPECT_FALSE(fs::exists(install.Folder().Native("rv7swap_ansi.exe")));

  // Something that cannot be deleted as a file: three tries, a pause after each, then go on.
  fs::create_directories(install.Folder().Native("rv7swap_ansi.exe/inside"));
  before = std::chrono::steady_clock::now();
  CleanUpSwapProgram(install.Folder().Path("rv7swap_ansi.exe"), std::chrono::milliseconds(100));
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(300));
  EXPECT_TRUE(fs::exists(install.Folder().Native("rv7swap_ansi.exe")));
}

}  // namespace
