// The update engine: a release that varne-release built, served by varne-release serve, directly
// and through tinyproxy; one run at a time against a scripted server: temporary names, special
// files, a stop at a file's turn.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>

#include "platform/testing/fault_injection.h"
#include "support/engine_harness.h"
#include "support/local_servers.h"

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

// The release tool's test meets nginx and its own server with the tool's check; here the engine
// meets its own server, directly and through the proxy.
TEST(ReleaseTest, DirectlyAndThroughAProxy) {
  TempFolder image("varne-image"), site("varne-site");
  for (const auto& [name, bytes] : kRelease) WriteFile(image.GetPath() / name, bytes);
  const std::uint16_t port = net_testing::FindFreePort();
  BuildSite(image.GetPath(), site.GetPath(), port);
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/filelist";
  const ReleaseServer server(site.GetPath(), port);
  {
    InstallFolder install;
    install.Write("RV7WIN9XME.EXE", "old updater");
    install.Write("RV7.VPK", "old package");
    install.Write("changed.bin", "old bytes");
    install.Write("current.txt", "same in both");
    const Outcome outcome = RunUpdate(url);
    ASSERT_TRUE(outcome.completed) << outcome.error;
    EXPECT_TRUE(outcome.package_replaced);
    // The running updater is never overwritten: the new one waits under the swap name. No
    // temporary file is left.
    EXPECT_EQ(Take(install.GetPath()), (Snapshot{{"RV7.VPK", "new package bytes"},
                                                 {"RV7WIN9XME.EXE", "old updater"},
                                                 {"RV7WIN9XME.SWAP", kRelease[0].second},
                                                 {"changed.bin", kRelease[2].second},
                                                 {"current.txt", "same in both"},
                                                 {"new/deep/file.dat", "brand new"}}));
    // Each file's reports in list order, counting the files done before it, with growing byte
    // figures; then the completion report. Once the last file is handed over, every file counts
    // while the transfers still in flight report.
    std::vector<std::string> texts;
    int received = 0;
    for (const Report& report : outcome.reports) {
      if (texts.empty() || texts.back() != report.text) {
        texts.push_back(report.text);
        received = 0;
      }
      EXPECT_EQ(report.total, 5);
      if (report.text != "new\\deep\\file.dat" || report.done != 5) {
        EXPECT_EQ(report.done, static_cast<int>(texts.size()) - 1) << report.text;
      }
      EXPECT_GE(report.received, received) << report.text;
      received = report.received;
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"RV7WIN9XME.EXE", "Rv7.vpk", "changed.bin",
                                               "current.txt", "new\\deep\\file.dat", "完了."}));
    EXPECT_EQ(outcome.reports.back(), (Report{5, 5, "完了.", 0, 0}));
  }
  // The proxy the install folder's settings name (the choice itself is the proxy discovery's
  // unit test).
  TinyProxy proxy;
  InstallFolder install;
  install.Write("changed.bin", "old bytes");
  install.Write("RV7.conf", "ProxyEnable=1\r\nProxyHost=" + proxy.GetProxyText() + "\r\n");
  EXPECT_TRUE(RunUpdate(url).completed);
  EXPECT_EQ(install.Read("changed.bin"), kRelease[2].second);
  EXPECT_NE(proxy.GetLog().find("GET " + url), std::string::npos) << proxy.GetLog();
}

// Copies of the site named after the first server: one that never connects, one whose list does
// not read and, under a key, one whose release does not verify are each left for the next, the
// first within seconds, and the copy that serves the release serves the whole run; when none does,
// the failure names what each server did.
TEST(UpdateRunTest, CopiesOfTheSiteStandInForServersThatFail) {
  TempFolder keys("varne-keys"), image("varne-image"), site("varne-site");
  TempFolder forged_image("varne-forged-image"), forged("varne-forged");
  const auto keygen = [&](const std::string& name) {
    const std::string key = (keys.GetPath() / name).string();
    const ProcessResult made =
        RunIn(keys.GetPath(), Program("varne-release") + " keygen '" + key + "'");
    return std::pair(made.out.substr(0, made.out.find('\n')), "--sign '" + key + "'");
  };
  const auto [public_key, sign] = keygen("publisher.key");
  WriteFile(image.GetPath() / "changed.bin", kRelease[2].second);
  WriteFile(forged_image.GetPath() / "changed.bin", "forged bytes");
  const std::uint16_t port = net_testing::FindFreePort();
  std::uint16_t forged_port = port;
  while (forged_port == port) forged_port = net_testing::FindFreePort();
  BuildSite(image.GetPath(), site.GetPath(), port, sign);
  // Signed, but not by the publisher.
  BuildSite(forged_image.GetPath(), forged.GetPath(), forged_port, keygen("thief.key").second);
  const ReleaseServer good(site.GetPath(), port), bad(forged.GetPath(), forged_port);
  const net_testing::UnansweredListener silent;
  ScriptedServer unreadable;
  unreadable.SetReplies({Whole("no list here\r\n", false)});
  const auto url = [](std::uint16_t at) {
    return "http://127.0.0.1:" + std::to_string(at) + "/filelist";
  };
  const std::string silent_url = url(silent.GetPort()), unreadable_url = ListUrl(unreadable);
  const struct {
    std::string key;
    std::vector<std::string> mirrors;
  } runs[] = {{"", {unreadable_url, url(port)}}, {public_key, {url(forged_port), url(port)}}};
  for (const auto& run : runs) {
    InstallFolder install;
    install.Write("changed.bin", "old bytes");
    const auto started = std::chrono::steady_clock::now();
    const Outcome outcome = RunUpdate(silent_url, nullptr, run.key, 16, std::nullopt, run.mirrors);
    ASSERT_TRUE(outcome.completed) << outcome.error;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(install.Read("changed.bin"), kRelease[2].second);
  }
  const Outcome none = RunUpdate(silent_url, nullptr, "", 16, std::nullopt, {unreadable_url});
  EXPECT_EQ(none.error, "DownloadManager : No server served the release / " + silent_url +
                            " : HttpClient : connect error : no connection within 2500 ms. / " +
                            unreadable_url + " : DownloadManager : List file error.");
}

// A site without block data sends a large file as one package; the copy asked first stops sending
// it halfway (stalls, or closes), and the other is asked for the rest alone. A package so pieced
// together that fails its check (the first half damaged) is fetched whole; no copy is left for it.
TEST(UpdateRunTest, APackageCutOffOnOneCopyGoesOnFromItsPartOnTheNext) {
  std::string bytes(3 << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  const std::string package = PackageOf("big.bin", bytes), whole = Answer(package);
  const std::string list = "1::big.bin:3145728:" + Md5Of(bytes) + "\r\n";
  const std::size_t size = package.size(), half = size / 2;
  const std::string rest = std::to_string(half) + "-" + std::to_string(size - 1);
  const std::string partial =
      "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + rest + "/" + std::to_string(size) +
      "\r\nContent-Length: " + std::to_string(size - half) + "\r\n\r\n" + package.substr(half);
  for (const bool damaged : {false, true}) {
    std::string cut = whole.substr(0, whole.size() - (size - half));
    cut[cut.size() - half / 2] ^= damaged;
    std::atomic<std::size_t> sent = 0;  // of the package, by both copies
    const auto copy = [&](const std::string& request) -> net_testing::Reply {
      if (request.starts_with("GET /list ")) return Whole(list);
      if (!request.starts_with("GET /list?")) return {{"HTTP/1.0 404 Not Found\r\n\r\n"}};
      const bool cuts = sent == 0;  // the package is asked for once at a time
      const bool ranged = request.find("Range: bytes=" + rest + "\r\n") != std::string::npos;
      sent += cuts ? half : ranged ? size - half : size;
      if (cuts) return damaged ? net_testing::Reply{{cut}} : SilentAfter(cut);
      return {{ranged ? partial : whole}};
    };
    ScriptedServer first, second;
    first.SetHandler(copy);
    second.SetHandler(copy);
    InstallFolder install;
    const Outcome outcome = RunUpdate(ListUrl(first), nullptr, "", 16, {}, {ListUrl(second)});
    ASSERT_TRUE(outcome.completed) << outcome.error;
    EXPECT_TRUE(install.Read("big.bin") == bytes);
    EXPECT_EQ(sent, (damaged ? 2 : 1) * size);
  }
}

TEST(UpdateRunTest, TemporaryPackagesNeverTakeAListedOrExistingName) {
  ScriptedServer server;
  InstallFolder install;
  // Links planted once the run has begun (the clean-up before it would remove them) are passed
  // over, never written through.
  install.Write("victim.txt", "victim");
  bool planted = false;
  const auto plant = [&](const Report&) {
    if (std::exchange(planted, true)) return true;
    std::filesystem::create_symlink("victim.txt", install.GetPath() / "file0.dl");
    std::filesystem::create_symlink("created-through-link.txt", install.GetPath() / "file1.dl");
    return true;
  };
  // A listed name wins too: a.txt's temporary package must not take FILE2.DL's name, which
  // is free until FILE2.DL's turn.
  const std::string list = "1::a.txt:1:" + Md5Of("a") + "\r\n1::FILE2.DL:2:" + Md5Of("f2") +
                           "\r\n1::sub\\b.txt:1:" + Md5Of("b") + "\r\n";
  server.SetReplies(ListThenPackages(
      list, {PackageOf("a.txt", "a"), PackageOf("FILE2.DL", "f2"), PackageOf("sub/b.txt", "b")}));
  const Outcome outcome = RunInOrder(ListUrl(server), plant);
  ASSERT_TRUE(outcome.completed) << outcome.error;
  EXPECT_EQ(install.Read("FILE2.DL"), "f2");
  EXPECT_EQ(install.Read("sub/b.txt"), "b");
  EXPECT_EQ(install.Read("victim.txt"), "victim");
  EXPECT_FALSE(install.Exists("created-through-link.txt"));
  EXPECT_TRUE(std::filesystem::is_symlink(install.GetPath() / "file0.dl"));
  EXPECT_TRUE(std::filesystem::is_symlink(install.GetPath() / "file1.dl"));
}

// A temporary package that cannot be made (here a folder takes its name once it is picked) is the
// package that cannot be opened.
TEST(UpdateRunTest, ATemporaryPackageThatCannotBeMadeCannotBeOpened) {
  ScriptedServer server;
  InstallFolder install;
  server.SetReplies(ListThenPackages("1::x.txt:1:no digest\r\n", {PackageOf("x.txt", "x")}));
  int reports = 0;
  const Outcome outcome = RunInOrder(ListUrl(server), [&](const Report& report) {
    // The file's own report, then its transfer's first.
    if (report.text == "x.txt" && ++reports == 2) {
      std::filesystem::create_directory(install.GetPath() / "file0.dl");
    }
    return true;
  });
  EXPECT_EQ(outcome.error, "VarneFileSystem : Package File \"file0.dl\" cannot open.");
}

// What a killed run left is removed by the next, in each folder it writes: its temporary package
// (one that begins as a package, or is empty), and its new files marked as the updater's own
// whose writer no longer runs (no process id is above the system's largest). A "file<n>.dl" that
// is no package stays. (Which other names stay is the file functions' test.)
TEST(UpdateRunTest, OnlyTheUpdatersOwnLeftoversAreRemoved) {
  ScriptedServer server;
  InstallFolder install;
  install.Write("file7.dl", PackageOf("x", "a package cut off by the kill").substr(0, 90));
  install.Write("file9.dl", "");  // killed before a byte came
  install.Write(".a.txt.4194304-0.rv7new.tmp", "half of a.txt");
  install.Write("sub/.b.txt.4194304-3.rv7new.tmp", "half of b.txt");
  const Snapshot kept = {{"file8.dl", "the game's own"}};
  for (const auto& [name, bytes] : kept) install.Write(name, bytes);
  server.SetReplies(
      ListThenPackages("1::a.txt:1:" + Md5Of("a") + "\r\n1::sub\\b.txt:1:" + Md5Of("b") + "\r\n",
                       {PackageOf("a.txt", "a"), PackageOf("sub/b.txt", "b")}));
  const Outcome outcome = RunInOrder(ListUrl(server));
  ASSERT_TRUE(outcome.completed) << outcome.error;
  Snapshot expected = kept;
  expected.insert({{"a.txt", "a"}, {"sub/b.txt", "b"}});
  EXPECT_EQ(Take(install.GetPath()), expected);
}

// A folder of the install that is a link to elsewhere is never written through: the run fails
// before anything lands outside, at any depth, also in a sibling folder whose name begins with the
// install folder's. Links that stay inside the install, and real folders, are written as usual.
TEST(UpdateRunTest, FoldersLinkedOutsideTheInstallAreNeverWrittenThrough) {
  const std::string leaves = "DownloadManager : Listed path leaves the install folder : ";
  const struct {
    std::string path;
    std::string error;
    std::string written;  // where the file lands in the install, when the run completes
  } cases[] = {
      {"real\\deep\\out\\new\\b.txt", leaves + "real\\deep\\out\\new\\b.txt", ""},
      // A sibling whose name begins with the install folder's is outside all the same.
      {"sibling\\d.txt", leaves + "sibling\\d.txt", ""},
      {"inside\\c.txt", "", "real/c.txt"},
  };
  for (const auto& c : cases) {
    TempFolder outside("varne-outside");
    ScriptedServer server;
    InstallFolder install;
    std::filesystem::create_directories(install.GetPath() / "real/deep");
    std::filesystem::create_directory_symlink(outside.GetPath(),
                                              install.GetPath() / "real/deep/out");
    std::filesystem::create_directory_symlink("real", install.GetPath() / "inside");
    const std::filesystem::path sibling = install.GetPath().string() + "-other";
    std::filesystem::create_directories(sibling);
    std::filesystem::create_directory_symlink(sibling, install.GetPath() / "sibling");
    std::string entry = c.path;
    std::replace(entry.begin(), entry.end(), '\\', '/');
    server.SetReplies(ListThenPackages("1::" + c.path + ":5:" + Md5Of("bytes") + "\r\n",
                                       {PackageOf(entry, "bytes")}));
    EXPECT_EQ(RunInOrder(ListUrl(server)).error, c.error) << c.path;
    EXPECT_EQ(Take(outside.GetPath()), Snapshot{}) << c.path;
    EXPECT_EQ(Take(sibling), Snapshot{}) << c.path;
    std::filesystem::remove_all(sibling);
    if (!c.written.empty()) {
      EXPECT_EQ(install.Read(c.written), "bytes") << c.path;
    }
  }
}

TEST(UpdateRunTest, PipesAreRefusedAndNewProgramsAreExecutable) {
  ScriptedServer server;
  InstallFolder install;
  const std::string program = "\177ELF program", script = "#!/bin/sh\nexit 0\n";
  install.Write("kept.sh", "#!/bin/sh\nexit 1\n");
  std::filesystem::permissions(install.GetPath() / "kept.sh", std::filesystem::perms(0640));
  const std::string size = std::to_string(script.size());
  const std::string list = "1::game:12:" + Md5Of(program) + "\r\n1::run.sh:" + size + ":" +
                           Md5Of(script) + "\r\n1::kept.sh:" + size + ":" + Md5Of(script) + "\r\n";
  server.SetReplies(ListThenPackages(list, {PackageOf("game", program), PackageOf("run.sh", script),
                                            PackageOf("kept.sh", script)}));
  const Outcome outcome = RunInOrder(ListUrl(server));
  ASSERT_TRUE(outcome.completed) << outcome.error;
  // Executable by everyone who may read it, and only by them; an existing file keeps its mode.
  for (const char* name : {"game", "run.sh"}) {
    const auto mode = unsigned(std::filesystem::status(install.GetPath() / name).permissions());
    EXPECT_EQ(mode & 0111, (mode & 0444) >> 2) << name;
    EXPECT_NE(mode & 0100, 0u) << name;
  }
  EXPECT_EQ(std::filesystem::status(install.GetPath() / "kept.sh").permissions(),
            std::filesystem::perms(0640));

  // A pipe where a listed file should be: the run fails at once instead of waiting in open.
  ASSERT_EQ(std::system("mkfifo pipe"), 0);
  server.SetReplies(ListThenPackages("1::pipe:1:" + Md5Of("p") + "\r\n", {PackageOf("pipe", "p")}));
  EXPECT_EQ(RunInOrder(ListUrl(server)).error,
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
  const Outcome outcome = RunInOrder(ListUrl(server), [](const Report& report) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return report.text != "one.txt";
  });
  EXPECT_EQ(outcome.error, "DownloadManager : Task Aborted.");
  EXPECT_EQ(outcome.files_done, 0);
  EXPECT_EQ(server.GetRequests().size(), 2u);  // the list and the removed files' document
}

// A full disk, or a batch of new files that cannot be made durable: the run fails, each file stays
// as it was (none of the batch is renamed) and nothing is left beside them; the next run completes.
TEST(UpdateRunTest, WhenTheDiskFailsEachFileStaysOldOrNew) {
  ScriptedServer server;
  InstallFolder install;
  const std::string b(300000, 'b');
  const std::string list =
      "1::sub\\b.bin:300000:" + Md5Of(b) + "\r\n1::c.txt:1:" + Md5Of("c") + "\r\n";
  install.Write("sub/b.bin", "old b");
  for (const bool disk_full : {true, false}) {
    server.SetReplies(ListThenPackages(list, {PackageOf("sub/b.bin", b), PackageOf("c.txt", "c")}));
    platform::InjectWriteFailureAfter(disk_full ? 100000 : -1);
    platform::InjectReplaceFailure(!disk_full, 1);  // the batch's second file
    const std::string error = RunInOrder(ListUrl(server)).error;
    platform::InjectWriteFailureAfter(-1);
    platform::InjectReplaceFailure(false);
    EXPECT_NE(error.find(disk_full ? "Temp File Error." : "File replace error."), std::string::npos)
        << error;
    EXPECT_EQ(Take(install.GetPath()), (Snapshot{{"sub/b.bin", "old b"}}));
  }
  server.SetReplies(ListThenPackages(list, {PackageOf("sub/b.bin", b), PackageOf("c.txt", "c")}));
  const Outcome rerun = RunInOrder(ListUrl(server));
  EXPECT_TRUE(rerun.completed) << rerun.error;
  EXPECT_TRUE(Take(install.GetPath()) == (Snapshot{{"sub/b.bin", b}, {"c.txt", "c"}}));
}

}  // namespace
}  // namespace test_support
