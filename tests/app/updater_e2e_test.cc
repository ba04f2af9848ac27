// The updater's executables end to end: RV7WIN9XME.EXE --console in real install folders, against
// releases served by varne-release serve (or a scripted server for a slow one).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <map>
#include <thread>

#include "../update/engine_harness.h"
#include "install_layout.h"
#include "net/testing/scripted_server.h"

namespace test_support {
namespace {

namespace fs = std::filesystem;

// How long another process may take to bring a condition about.
constexpr int kWaitSeconds = 20;

const char kGeneralError[] = "エラーが発生しました。";

class UpdaterTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(install_);
    LayOutInstall(install_, ListUrl());
    fs::create_directories(install_ / "data");
    WriteFile(install_ / "data" / "level1.dat", "level one");
  }

  // A release whose files are the install's, with `changes` applied (empty bytes remove a file).
  void Publish(const Snapshot& changes) {
    fs::remove_all(image_);
    fs::create_directories(image_);
    fs::copy(install_, image_, fs::copy_options::recursive);
    for (const auto& [name, bytes] : changes) {
      if (bytes.empty()) {
        fs::remove(image_ / name);
        continue;
      }
      fs::create_directories((image_ / name).parent_path());
      WriteFile(image_ / name, bytes);
    }
    BuildSite(image_, site_, port_);
    if (!server_) server_ = std::make_unique<ReleaseServer>(site_, port_);
  }

  ProcessResult Update(const std::string& arguments = "") {
    return RunIn(install_, "./RV7WIN9XME.EXE --console " + arguments);
  }

  std::string ListUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/filelist"; }

  TempFolder root_{"varne-updater"};
  fs::path install_ = root_.GetPath() / "install";
  fs::path image_ = root_.GetPath() / "image";
  fs::path site_ = root_.GetPath() / "site";
  std::uint16_t port_ = net_testing::FindFreePort();
  std::unique_ptr<ReleaseServer> server_;
};

TEST_F(UpdaterTest, CurrentAndOutdatedInstalls) {
  Publish({});
  const Snapshot before = Take(install_);
  ProcessResult run = Update();
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(Take(install_), before);

  Publish({{"data/level1.dat", "level one, patched"}, {"data/new/level2.dat", "level two"}});
  run = Update();
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(ReadFile(install_ / "data" / "level1.dat"), "level one, patched");
  EXPECT_EQ(ReadFile(install_ / "data" / "new" / "level2.dat"), "level two");
  // Without a terminal to ask on, the game starts only when told to.
  EXPECT_FALSE(fs::exists(install_ / "game-started.txt"));
  run = Update("--start-game");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_TRUE(Eventually([&] { return fs::exists(install_ / "game-started.txt"); }, kWaitSeconds));
}

TEST_F(UpdaterTest, ReplacesItsOwnExecutableThroughTheSwapProgram) {
  const std::string next = ReadFile(install_ / "RV7WIN9XME.EXE") + "next build";
  Publish({{"RV7WIN9XME.EXE", next}});
  const ProcessResult run = Update();
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("アップデータの更新を行います"), std::string::npos) << run.out;
  EXPECT_TRUE(Eventually([&] {
    return !fs::exists(install_ / "RV7WIN9XME.SWAP") && ReadFile(install_ / "RV7WIN9XME.EXE") == next;
  }, kWaitSeconds));
  EXPECT_NE(fs::status(install_ / "RV7WIN9XME.EXE").permissions() & fs::perms::owner_exec, fs::perms::none);
  EXPECT_TRUE(fs::exists(install_ / "rv7swap_ansi.exe"));
  // The next start removes the swap program and finds nothing to do.
  const ProcessResult again = Update();
  EXPECT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_FALSE(fs::exists(install_ / "rv7swap_ansi.exe"));
}

TEST_F(UpdaterTest, RestartsAfterThePackageWasReplaced) {
  // The new package points the updater at a second release, which only a restarted updater, one
  // that has read the new package, can know of.
  TempFolder second_site("varne-second-site");
  TempFolder second_image("varne-second-image");
  const std::uint16_t second_port = net_testing::FindFreePort();
  WriteFile(second_image.GetPath() / "proof.txt", "read the new package");
  BuildSite(second_image.GetPath(), second_site.GetPath(), second_port);
  ReleaseServer second(second_site.GetPath(), second_port);
  TempFolder next("varne-next-install");
  LayOutInstall(next.GetPath(), "http://127.0.0.1:" + std::to_string(second_port) + "/filelist");

  Publish({{"RV7.VPK", ReadFile(next.GetPath() / "RV7.VPK")}});
  const ProcessResult run = Update();
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("アップデータが更新されました。"), std::string::npos) << run.out;
  EXPECT_TRUE(Eventually([&] { return ReadFile(install_ / "proof.txt") == "read the new package"; }, kWaitSeconds));
}

TEST_F(UpdaterTest, OneCopyPerInstallFolder) {
  // A release whose only file trickles in keeps the first copy busy.
  net_testing::ScriptedServer slow;
  net_testing::Reply body{{"HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n"}, 100};
  for (int i = 0; i < 100; ++i) body.pieces.push_back(std::string(1000, 's'));
  slow.SetReplies({{{"HTTP/1.0 200 OK\r\n\r\n1::slow.bin:100000:" + Md5Of("x") + "\r\n"}}, body});
  TempFolder busy("varne-busy-install");
  LayOutInstall(busy.GetPath(), "http://127.0.0.1:" + std::to_string(slow.GetPort()) + "/list");
  test_support::Run("cd '" + busy.GetPath().string() + "' && (timeout 60 ./RV7WIN9XME.EXE --console </dev/null " +
      ">/dev/null 2>&1 & echo $! > ../busy.pid)");
  ASSERT_TRUE(Eventually([&] { return slow.GetRequests().size() >= 2; }, kWaitSeconds));

  const ProcessResult second = RunIn(busy.GetPath(), "./RV7WIN9XME.EXE --console");
  EXPECT_EQ(second.status, 2);
  EXPECT_EQ(second.out, "");
  // Another install folder is another updater.
  Publish({});
  const ProcessResult elsewhere = Update();
  EXPECT_EQ(elsewhere.status, 0) << elsewhere.out << elsewhere.err;

  // A copy that was killed leaves nothing that blocks the next one.
  std::string pid = ReadFile(busy.GetPath().parent_path() / "busy.pid");
  pid.erase(pid.find_last_not_of("\n") + 1);
  std::system(("pkill -KILL -P " + pid + "; kill -KILL " + pid + " 2>/dev/null").c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  slow.SetReply({{"HTTP/1.0 200 OK\r\n\r\n1::RV7.VPK:1:" +
                  Md5Of(ReadFile(busy.GetPath() / "RV7.VPK")) + "\r\n"}});
  const ProcessResult after_kill = RunIn(busy.GetPath(), "./RV7WIN9XME.EXE --console");
  EXPECT_EQ(after_kill.status, 0) << after_kill.out << after_kill.err;
}

TEST_F(UpdaterTest, StartUpRefusals) {
  Publish({});
  // A folder nobody may write to.
  fs::permissions(install_, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  ProcessResult run = Update();
  fs::permissions(install_, fs::perms::owner_write, fs::perm_options::add);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find(kGeneralError), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("インストールフォルダが読み込み専用フォルダになっているためアップデート出来ません."),
            std::string::npos)
      << run.out;

  // The game is running.
  test_support::Run("cd '" + install_.string() + "' && (./game.exe --stay 20 >/dev/null 2>&1 & echo $! > ../game.pid)");
  ASSERT_TRUE(Eventually([&] { return fs::exists(install_ / "game-started.txt"); }, kWaitSeconds));
  run = Update();
  std::system(("kill $(cat '" + (root_.GetPath() / "game.pid").string() + "')").c_str());
  EXPECT_EQ(run.status, 2) << run.out << run.err;
  EXPECT_NE(run.out.find("ご案内"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("アップデートする際はゲームを終了してください。"), std::string::npos);

  // A leftover swap program that cannot be removed delays the start by about three seconds.
  fs::create_directories(install_ / "rv7swap_ansi.exe" / "held");
  const auto start = std::chrono::steady_clock::now();
  run = Update();
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  fs::remove_all(install_ / "rv7swap_ansi.exe");
}

TEST(UpdaterConfigTest, MissingDialogConfiguration) {
  TempFolder install("varne-no-config");
  LayOutInstall(install.GetPath(), "http://127.0.0.1:1/filelist", false);
  const ProcessResult run = RunIn(install.GetPath(), "./RV7WIN9XME.EXE --console");
  EXPECT_EQ(run.status, 1);
  // The package has no such entry: the file system's own failure is the detail.
  EXPECT_NE(run.out.find(std::string(kGeneralError)), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("no file in this package.file : dlgconfig.conf"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace test_support
