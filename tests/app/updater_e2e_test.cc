// The updater's executables end to end: RV7WIN9XME.EXE --console in real install folders (with a
// blank in their path), against releases served by varne-release serve: an update, the swap of
// its own executable, the restart after a new package, and signed releases that an attacker
// changed. Start-up refusals are the start-up unit tests' and the window tests' work.
#include <gtest/gtest.h>

#include <functional>

#include "../update/engine_harness.h"
#include "base/base64.h"
#include "install_layout.h"
#include "net/testing/scripted_server.h"
#include "update/release_signature.h"

namespace test_support {
namespace {

namespace fs = std::filesystem;

// How long another process may take to bring a condition about.
constexpr int kWaitSeconds = 20;

class UpdaterTest : public testing::Test {
 protected:
  void SetUp() override {
    LayOutInstall(install_, ListUrl(), true, extra_config_);
    WriteFile(install_ / "data" / "level1.dat", "level one");
  }

  // A release whose files are the install's with `changes` applied, built with `options` (such as
  // a signing key) and served.
  void Publish(const Snapshot& changes, const std::string& options = "") {
    fs::remove_all(image_);
    fs::copy(install_, image_, fs::copy_options::recursive);
    fs::remove(image_ / kReleaseStateName);
    for (const auto& [name, bytes] : changes) WriteFile(image_ / name, bytes);
    BuildSite(image_, site_, port_, options);
    if (!server_) server_ = std::make_unique<ReleaseServer>(site_, port_);
  }

  ProcessResult Update(const std::string& arguments = "") {
    return RunIn(install_, "./RV7WIN9XME.EXE --console " + arguments);
  }

  std::string ListUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/filelist"; }

  TempFolder root_{"varne-updater"};
  fs::path install_ = root_.GetPath() / "game folder";
  fs::path image_ = root_.GetPath() / "image";
  fs::path site_ = root_.GetPath() / "site";
  std::uint16_t port_ = net_testing::FindFreePort();
  std::unique_ptr<ReleaseServer> server_;
  std::string extra_config_;  // configuration lines added to the install's
};

// A release with a new updater and a new package: the swap program replaces the updater once the
// ending copy is gone, while its restart, which only then has read the new package, follows the
// package to a second release and removes the swap program when that has ended.
TEST_F(UpdaterTest, SwapsItsOwnExecutableAndRestartsAfterANewPackage) {
  TempFolder second_site("varne-second-site");
  TempFolder second_image("varne-second-image");
  const std::uint16_t second_port = net_testing::FindFreePort();
  WriteFile(second_image.GetPath() / "proof.txt", "read the new package");
  BuildSite(second_image.GetPath(), second_site.GetPath(), second_port);
  ReleaseServer second(second_site.GetPath(), second_port);
  TempFolder next("varne-next-install");
  LayOutInstall(next.GetPath(), "http://127.0.0.1:" + std::to_string(second_port) + "/filelist");
  const std::string updater = ReadFile(install_ / "RV7WIN9XME.EXE") + "next build";

  Publish({{"RV7WIN9XME.EXE", updater}, {"RV7.VPK", ReadFile(next.GetPath() / "RV7.VPK")}});
  const ProcessResult run = Update();
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("アップデータの更新を行います"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("アップデータが更新されました。"), std::string::npos) << run.out;
  EXPECT_TRUE(Eventually(
      [&] {
        return ReadFile(install_ / "RV7WIN9XME.EXE") == updater &&
               !fs::exists(install_ / "RV7WIN9XME.SWAP") &&
               ReadFile(install_ / "proof.txt") == "read the new package" &&
               !fs::exists(install_ / "rv7swap_ansi.exe");
      },
      kWaitSeconds));
  EXPECT_NE(fs::status(install_ / "RV7WIN9XME.EXE").permissions() & fs::perms::owner_exec,
            fs::perms::none);
}

// An install whose configuration holds the publisher's public key. Releases are also signed with
// the next key of a rotation, as a release that moves installs to that key is.
class SignedReleaseTest : public UpdaterTest {
 protected:
  SignedReleaseTest() {
    WriteFile(key_file_, key_.private_pem);
    WriteFile(root_.GetPath() / "next.key", platform::GenerateP256Key().private_pem);
    extra_config_ = "serverside_publickey=" + Public() + "\r\n";
  }
  std::string Public() const { return EncodeBase64(key_.public_key); }

  const platform::P256Key key_ = platform::GenerateP256Key();
  const fs::path key_file_ = root_.GetPath() / "publisher.key";
  const std::string sign_ = "--sign '" + key_file_.string() + "' --sign '" +
                            (root_.GetPath() / "next.key").string() + "'";
};

TEST_F(SignedReleaseTest, SignedReleasesInstallAndAttacksAreRefused) {
  Publish({{"data/level1.dat", "level two"}, {"maps/new/level2.dat", "level two"}}, sign_);
  ProcessResult run = Update();
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(ReadFile(install_ / "data" / "level1.dat"), "level two");
  EXPECT_EQ(ReadFile(install_ / "maps" / "new" / "level2.dat"), "level two");
  EXPECT_NE(ReadFile(install_ / kReleaseStateName).find("ReleaseSerial="), std::string::npos);
  // Without a terminal to ask on, the game starts only when told to. The same serial is accepted
  // again, and the current install stays as it was.
  EXPECT_FALSE(fs::exists(install_ / "game-started.txt"));
  const Snapshot current = Take(install_);
  run = Update("--start-game");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_TRUE(Eventually([&] { return fs::exists(install_ / "game-started.txt"); }, kWaitSeconds));
  Snapshot after = Take(install_);
  after.erase("game-started.txt");
  EXPECT_EQ(after, current);

  // The next release, changed in transit or on the site: the install keeps "level two".
  Publish({{"data/level1.dat", "level three"}}, sign_);
  const Snapshot newer = Take(site_);
  const auto serial = [&] {
    return VerifyRelease(ReadFile(site_ / "filelist.sig"), Public()).serial;
  };
  struct Attack {
    const char* name;
    std::function<void()> tamper;
    std::string refusal;
  };
  const Attack attacks[] = {
      {"package swapped",  // another file's package in place of data\level1.dat's ("%25%36%34...")
       [&] {
         fs::path level1, other;
         for (const auto& item : fs::directory_iterator(site_ / "packages"))
           (item.path().filename().string().starts_with("%25%36%34") ? level1 : other) =
               item.path();
         WriteFile(level1, ReadFile(other));
       },
       "level1.dat"},
      {"signature missing", [&] { fs::remove(site_ / "filelist.sig"); }, "signature missing"},
      {"rollback",
       [&] {
         WriteFile(install_ / kReleaseStateName,
                   "ReleaseSerial=" + std::to_string(serial() + 1) + "\r\n");
       },
       "older release than installed."},
  };
  for (const Attack& attack : attacks) {
    for (const auto& [name, bytes] : newer) WriteFile(site_ / name, bytes);
    fs::remove(install_ / kReleaseStateName);
    attack.tamper();
    // Refused, and the install stays as it was.
    const Snapshot before = Take(install_);
    run = Update();
    EXPECT_EQ(run.status, 1) << attack.name << "\n" << run.out << run.err;
    EXPECT_NE(run.out.find(attack.refusal), std::string::npos) << attack.name << "\n" << run.out;
    EXPECT_EQ(Take(install_), before) << attack.name;
    fs::remove(install_ / kReleaseStateName);
  }
}

}  // namespace
}  // namespace test_support
