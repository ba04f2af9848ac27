// Signed releases end to end: RV7WIN9XME.EXE --console with a public key in its configuration,
// against sites that varne-release built and signed and that an attacker then changed, served by
// varne-release serve.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <map>

#include "../update/engine_harness.h"
#include "base/base64.h"
#include "install_layout.h"
#include "net/testing/scripted_server.h"
#include "update/release_signature.h"

namespace test_support {
namespace {

namespace fs = std::filesystem;

struct Key {
  explicit Key(const fs::path& file) : file(file) { WriteFile(file, pair.private_pem); }
  platform::P256Key pair = platform::GenerateP256Key();
  fs::path file;
  std::string Public() const { return EncodeBase64(pair.public_key); }
  std::string Sign() const { return "--sign '" + file.string() + "'"; }
};

class SignedReleaseTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(install_);
    LayOutInstall(install_, ListUrl(), true, "serverside_publickey=" + key_.Public() + "\r\n");
    WriteFile(install_ / "level.dat", "level one");
  }

  // Builds the site from the install with `changes`, signed with `options`, and serves it.
  void Publish(const Snapshot& changes, const std::string& options) {
    fs::remove_all(image_);
    fs::copy(install_, image_, fs::copy_options::recursive);
    fs::remove(image_ / kReleaseStateName);
    for (const auto& [name, bytes] : changes) WriteFile(image_ / name, bytes);
    BuildSite(image_, site_, port_, options);
    if (!server_) server_ = std::make_unique<ReleaseServer>(site_, port_);
  }

  ProcessResult Update() { return RunIn(install_, "./RV7WIN9XME.EXE --console"); }

  std::string ListUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/filelist"; }

  // Runs the updater and expects a refusal that leaves the install as it was.
  void ExpectRefused(const std::string& text, const std::string& row) {
    const Snapshot before = Take(install_);
    const ProcessResult run = Update();
    EXPECT_EQ(run.status, 1) << row << "\n" << run.out << run.err;
    EXPECT_NE(run.out.find(text), std::string::npos) << row << "\n" << run.out;
    EXPECT_EQ(Take(install_), before) << row;
  }

  TempFolder root_{"varne-signed"};
  fs::path install_ = root_.GetPath() / "install";
  fs::path image_ = root_.GetPath() / "image";
  fs::path site_ = root_.GetPath() / "site";
  Key key_{root_.GetPath() / "publisher.key"};
  std::uint16_t port_ = net_testing::FindFreePort();
  std::unique_ptr<ReleaseServer> server_;
};

TEST_F(SignedReleaseTest, SignedReleasesInstallAndAttacksAreRefused) {
  Publish({{"level.dat", "level two"}}, key_.Sign());
  ProcessResult run = Update();
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(ReadFile(install_ / "level.dat"), "level two");
  const std::string state = ReadFile(install_ / kReleaseStateName);
  EXPECT_NE(state.find("ReleaseSerial="), std::string::npos);
  // The same serial is accepted again.
  run = Update();
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(ReadFile(install_ / kReleaseStateName), state);

  // The next release, changed in transit or on the site: the install keeps "level two".
  Publish({{"level.dat", "level three"}}, key_.Sign());
  const Snapshot newer = Take(site_);
  const auto serial = [&] {
    return VerifyRelease(ReadFile(site_ / "filelist.sig"), key_.Public()).serial;
  };
  const auto resign = [&](const std::function<void(ReleaseSignature&)>& change) {
    ReleaseSignature release = VerifyRelease(ReadFile(site_ / "filelist.sig"), key_.Public());
    change(release);
    WriteFile(site_ / "filelist.sig", SignRelease(release, {key_.pair.private_pem}));
  };
  struct Attack {
    const char* name;
    std::function<void()> tamper;
    std::string refusal;
  };
  const Attack attacks[] = {
      {"list tampered",
       [&] {
         WriteFile(site_ / "filelist", ReadFile(site_ / "filelist") + "1::extra.dat:1:x\r\n");
       },
       "file list does not match its signature."},
      {"package swapped",
       [&] {
         // Another file's package in place of level.dat's, whose name encoded twice begins with
         // "%25%36%43".
         std::vector<fs::path> packages;
         for (const auto& item : fs::recursive_directory_iterator(site_ / "packages")) {
           if (item.is_regular_file()) packages.push_back(item.path());
         }
         std::ranges::sort(packages, {}, [](const fs::path& p) {
           return !p.filename().string().starts_with("%25%36%43");
         });
         WriteFile(packages[0], ReadFile(packages[1]));
       },
       "level.dat"},
      {"signature missing", [&] { fs::remove(site_ / "filelist.sig"); }, "signature missing"},
      {"expired", [&] { resign([](ReleaseSignature& r) { r.expires = std::time(nullptr) - 60; }); },
       "release expired."},
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
    ExpectRefused(attack.refusal, attack.name);
    fs::remove(install_ / kReleaseStateName);
  }
}

TEST_F(SignedReleaseTest, KeyRotationThroughTheGamePackage) {
  const Key next{root_.GetPath() / "next.key"};
  TempFolder rotated("varne-rotated");
  LayOutInstall(rotated.GetPath(), ListUrl(), true,
                "serverside_publickey=" + next.Public() + "\r\n");
  Publish({{"RV7.VPK", ReadFile(rotated.GetPath() / "RV7.VPK")}}, key_.Sign() + " " + next.Sign());
  ProcessResult run = Update();
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  ASSERT_TRUE(Eventually(
      [&] { return ReadFile(install_ / "RV7.VPK") == ReadFile(rotated.GetPath() / "RV7.VPK"); },
      20));
  // The restarted copy holds the install until it is done; then a run finds nothing to do.
  ASSERT_TRUE(Eventually([&] { return Update().status == 0; }, 20));
  // It read the new key: a release signed with it alone installs, one signed with the old key
  // alone is refused.
  Publish({{"level.dat", "level two"}}, next.Sign());
  run = Update();
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(ReadFile(install_ / "level.dat"), "level two");
  Publish({{"level.dat", "level three"}}, key_.Sign());
  ExpectRefused("signature does not verify.", "old key after rotation");
}

}  // namespace
}  // namespace test_support
