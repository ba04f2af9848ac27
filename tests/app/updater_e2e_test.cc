// The updater's executables end to end: RV7WIN9XME.EXE --console in real install folders, against
// releases served by varne-release serve: an update, the swap of its own executable, the restart
// after a new package. Start-up refusals are the start-up unit tests' and the window tests' work.
#include <gtest/gtest.h>

#include <chrono>

#include "../update/engine_harness.h"
#include "install_layout.h"
#include "net/testing/scripted_server.h"

namespace test_support {
namespace {

namespace fs = std::filesystem;

// How long another process may take to bring a condition about.
constexpr int kWaitSeconds = 20;

class UpdaterTest : public testing::Test {
 protected:
  void SetUp() override {
    LayOutInstall(install_, ListUrl());
    WriteFile(install_ / "data" / "level1.dat", "level one");
  }

  // A release whose files are the install's, with `changes` applied (empty bytes remove a file).
  void Publish(const Snapshot& changes) {
    fs::remove_all(image_);
    fs::copy(install_, image_, fs::copy_options::recursive);
    for (const auto& [name, bytes] : changes) {
      if (bytes.empty())
        fs::remove(image_ / name);
      else
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
  EXPECT_TRUE(Eventually(
      [&] {
        return !fs::exists(install_ / "RV7WIN9XME.SWAP") &&
               ReadFile(install_ / "RV7WIN9XME.EXE") == next;
      },
      kWaitSeconds));
  EXPECT_NE(fs::status(install_ / "RV7WIN9XME.EXE").permissions() & fs::perms::owner_exec,
            fs::perms::none);
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
  EXPECT_TRUE(Eventually([&] { return ReadFile(install_ / "proof.txt") == "read the new package"; },
                         kWaitSeconds));
}

}  // namespace
}  // namespace test_support
