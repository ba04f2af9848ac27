// The update engine: a release that varne-release built, served by a stock nginx with the
// generated configuration and by varne-release serve, directly and through tinyproxy; one run at a
// time against a scripted server: temporary names, special files, a stop at a file's turn.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "engine_harness.h"
#include "local_servers.h"

namespace test_support {
namespace {

using net_testing::ScriptedServer;

// The release: the updater itself, the game's package under another letter case, one file that
// changed, one that the install has already, one missing in a new folder.
const std::pair<const char*, std::string> kRelease[] = {
    {"RV7WIN9XME.EXE",
     "\x7F"
     "ELF new updater"},
    {"Rv7.vpk", "new package bytes"},
    {"changed.bin", std::string(300000, 'n')},
    {"current.txt", "same in both"},
    {"new/deep/file.dat", "brand new"},
};

class ReleaseTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [name, bytes] : kRelease) WriteFile(image_.GetPath() / name, bytes);
    BuildSite(image_.GetPath(), site_.GetPath(), port_);
  }

  // Updates an install of the previous release and checks everything the run leaves behind.
  void UpdateAndCheck() const {
    InstallFolder install;
    install.Write("RV7WIN9XME.EXE", "old updater");
    install.Write("RV7.VPK", "old package");
    install.Write("changed.bin", "old bytes");
    install.Write("current.txt", "same in both");
    const Outcome first = RunUpdate(url_);
    ASSERT_TRUE(first.completed) << first.error;
    EXPECT_TRUE(first.package_replaced);
    // The running updater is never overwritten: the new one waits under the swap name. No
    // temporary file is left.
    EXPECT_EQ(Take(install.GetPath()), (Snapshot{{"RV7.VPK", "new package bytes"},
                                                 {"RV7WIN9XME.EXE", "old updater"},
                                                 {"RV7WIN9XME.SWAP", kRelease[0].second},
                                                 {"changed.bin", kRelease[2].second},
                                                 {"current.txt", "same in both"},
                                                 {"new/deep/file.dat", "brand new"}}));
    CheckReports(first.reports);

    // Once the swap program has put the new updater in place, nothing is left to download.
    std::filesystem::rename(install.GetPath() / "RV7WIN9XME.SWAP",
                            install.GetPath() / "RV7WIN9XME.EXE");
    const Outcome second = RunUpdate(url_);
    ASSERT_TRUE(second.completed) << second.error;
    EXPECT_FALSE(second.package_replaced);
    for (const Report& report : second.reports) EXPECT_EQ(report.size, 0) << report.text;
    EXPECT_EQ(second.reports.size(), std::size(kRelease) + 1);
  }

  // One report as each file starts, the transfer's reports between them (each with the file's
  // path and growing byte figures), and the completion report.
  static void CheckReports(const std::vector<Report>& reports) {
    const char* starts[] = {"RV7WIN9XME.EXE", "Rv7.vpk", "changed.bin", "current.txt",
                            "new\\deep\\file.dat"};
    int next = 0, received = 0;
    for (const Report& report : reports) {
      EXPECT_EQ(report.total, 5);
      if (report.size == 0 && next < 5 && report.text == starts[next]) {
        EXPECT_EQ(report.done, next++) << report.text;
        received = 0;
      } else if (report.text != "完了.") {
        ASSERT_GT(next, 0) << "a transfer was reported before the first file: " << report.text;
        EXPECT_EQ(report.text, starts[next - 1]);
        EXPECT_GE(report.received, received);
        received = report.received;
      }
    }
    EXPECT_EQ(next, 5);
    EXPECT_EQ(reports.back(), (Report{5, 5, "完了.", 0, 0}));
  }

  TempFolder image_{"varne-image"};
  TempFolder site_{"varne-site"};
  std::uint16_t port_ = net_testing::FindFreePort();
  std::string url_ = "http://127.0.0.1:" + std::to_string(port_) + "/filelist";
};

// The release tool's test meets its own server directly; here it is met through the proxy.
TEST_F(ReleaseTest, StockNginxDirectAndOwnServerThroughAProxy) {
  {
    Nginx nginx(port_, site_.GetPath() / "nginx-site.conf");
    UpdateAndCheck();
  }
  ReleaseServer server(site_.GetPath(), port_);
  // The proxy the install folder's settings name (the choice itself is the proxy discovery's
  // unit test).
  TinyProxy proxy;
  InstallFolder install;
  install.Write("changed.bin", "old bytes");
  install.Write("RV7.conf", "ProxyEnable=1\r\nProxyHost=" + proxy.GetProxyText() + "\r\n");
  EXPECT_TRUE(RunUpdate(url_).completed);
  EXPECT_EQ(install.Read("changed.bin"), kRelease[2].second);
  EXPECT_NE(proxy.GetLog().find("GET " + url_), std::string::npos) << proxy.GetLog();
}

TEST(UpdateRunTest, TemporaryPackagesNeverTakeAListedOrExistingName) {
  ScriptedServer server;
  {
    // Listed files win the name.
    InstallFolder install;
    const std::string list = "1::file0.dl:2:" + Md5Of("f0") + "\r\n1::FILE1.DL:2:" + Md5Of("f1") +
                             "\r\n1::a.txt:1:" + Md5Of("a") + "\r\n";
    server.SetReplies(ListThenPackages(
        list, {PackageOf("file0.dl", "f0"), PackageOf("FILE1.DL", "f1"), PackageOf("a.txt", "a")}));
    const Outcome outcome = RunUpdate(ListUrl(server));
    ASSERT_TRUE(outcome.completed) << outcome.error;
    EXPECT_EQ(install.Read("file0.dl"), "f0");
    EXPECT_EQ(install.Read("FILE1.DL"), "f1");
    EXPECT_EQ(install.Read("a.txt"), "a");
  }
  InstallFolder install;
  // Planted links are passed over, never written through.
  install.Write("victim.txt", "victim");
  std::filesystem::create_symlink("victim.txt", install.GetPath() / "file0.dl");
  std::filesystem::create_symlink("created-through-link.txt", install.GetPath() / "file1.dl");
  // What a killed run left: its temporary package and its half-written new files (a process id
  // above the system's largest is never running). A running process's new file stays.
  const std::string own_pid = std::filesystem::read_symlink("/proc/self").string();
  install.Write("file7.dl", PackageOf("x", "a package cut off by the kill").substr(0, 90));
  install.Write(".a.txt.4194304-0.tmp", "half of a.txt");
  install.Write("sub/.b.txt.4194304-3.tmp", "half of b.txt");
  install.Write(".a.txt." + own_pid + "-9.tmp", "being written");
  server.SetReplies(
      ListThenPackages("1::a.txt:1:" + Md5Of("a") + "\r\n1::sub\\b.txt:1:" + Md5Of("b") + "\r\n",
                       {PackageOf("a.txt", "a"), PackageOf("sub/b.txt", "b")}));
  const Outcome outcome = RunUpdate(ListUrl(server));
  ASSERT_TRUE(outcome.completed) << outcome.error;
  EXPECT_EQ(install.Read("sub/b.txt"), "b");
  EXPECT_EQ(install.Read("victim.txt"), "victim");
  EXPECT_FALSE(install.Exists("created-through-link.txt"));
  EXPECT_TRUE(std::filesystem::is_symlink(install.GetPath() / "file0.dl"));
  EXPECT_TRUE(std::filesystem::is_symlink(install.GetPath() / "file1.dl"));
  for (const char* gone : {"file7.dl", ".a.txt.4194304-0.tmp", "sub/.b.txt.4194304-3.tmp"}) {
    EXPECT_FALSE(install.Exists(gone)) << gone;
  }
  EXPECT_EQ(install.Read(".a.txt." + own_pid + "-9.tmp"), "being written");
}

TEST(UpdateRunTest, PipesAreRefusedAndNewProgramsAreExecutable) {
  ScriptedServer server;
  InstallFolder install;
  const std::string script = "#!/bin/sh\necho ran >ran.txt\n";
  const std::string program = ReadFile("/bin/true");
  ASSERT_FALSE(program.empty());
  install.Write("kept.sh", "#!/bin/sh\nexit 1\n");
  std::filesystem::permissions(install.GetPath() / "kept.sh", std::filesystem::perms(0640));
  const std::string size = std::to_string(script.size());
  const std::string list = "1::game:" + std::to_string(program.size()) + ":" + Md5Of(program) +
                           "\r\n1::run.sh:" + size + ":" + Md5Of(script) +
                           "\r\n1::kept.sh:" + size + ":" + Md5Of(script) + "\r\n";
  server.SetReplies(ListThenPackages(list, {PackageOf("game", program), PackageOf("run.sh", script),
                                            PackageOf("kept.sh", script)}));
  const Outcome outcome = RunUpdate(ListUrl(server));
  ASSERT_TRUE(outcome.completed) << outcome.error;
  const auto game = install.GetPath() / "game";
  EXPECT_EQ(std::system(("'" + game.string() + "'").c_str()), 0);
  EXPECT_EQ(std::system("./run.sh"), 0);
  EXPECT_EQ(install.Read("ran.txt"), "ran\n");
  // Executable by everyone who may read it, and only by them; an existing file keeps its mode.
  const auto mode = std::filesystem::status(game).permissions();
  const auto reads = mode & std::filesystem::perms(0444);
  EXPECT_EQ(mode & std::filesystem::perms(0111), std::filesystem::perms(unsigned(reads) >> 2));
  EXPECT_EQ(std::filesystem::status(install.GetPath() / "kept.sh").permissions(),
            std::filesystem::perms(0640));

  // A pipe where a listed file should be: the run fails at once instead of waiting in open.
  ASSERT_EQ(std::system("mkfifo pipe"), 0);
  server.SetReplies(ListThenPackages("1::pipe:1:" + Md5Of("p") + "\r\n", {PackageOf("pipe", "p")}));
  EXPECT_EQ(RunUpdate(ListUrl(server)).error,
            "DownloadManager : Listed path is not a regular file : pipe");
  EXPECT_EQ(std::filesystem::status(install.GetPath() / "pipe").type(),
            std::filesystem::file_type::fifo);
}

// A stop seen at a file's turn ends the run before the file counts, however old its digest.
TEST(UpdateRunTest, AStopAtAFilesTurnEndsTheRunBeforeItCounts) {
  ScriptedServer server;
  // A current file, then one whose package would be asked for next.
  server.SetReplies(
      ListThenPackages("1::one.txt:1:" + Md5Of("1") + "\r\n1::two.bin:1:" + Md5Of("2") + "\r\n",
                       {PackageOf("two.bin", "2")}));
  InstallFolder install;
  install.Write("one.txt", "1");
  // Settled, so that its digest made ahead is trusted at its turn; the stop comes once it is made.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  const Outcome outcome = RunUpdate(ListUrl(server), [](const Report& report) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return report.text != "one.txt";
  });
  EXPECT_EQ(outcome.error, "DownloadManager : Task Aborted.");
  EXPECT_EQ(outcome.files_done, 0);
  EXPECT_EQ(server.GetRequests().size(), 1u);
}

}  // namespace
}  // namespace test_support
