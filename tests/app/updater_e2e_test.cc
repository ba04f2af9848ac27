// The updater's executables end to end: RV7WIN9XME.EXE --console in real install folders (with a
// blank and Japanese in their path), against releases served by varne-release serve: an update,
// the swap of its own executable, the restart after a new package, signed releases that an
// attacker changed, the error text on a terminal, a read-only folder. With VARNE_WINDOWS_BIN the
// Windows build's programs are run under Wine. Other start-up refusals are the start-up unit tests'
// and the window tests' work; the user's proxy is the proxy discovery's and the settings' tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "base/base64.h"
#include "net/testing/scripted_server.h"
#include "platform/file.h"
#include "res/error_causes.h"
#include "res/strings.h"
#include "site/release_state.h"
#include "site/site_names.h"
#include "site/testing/block_changes.h"
#include "site/trust_root.h"
#include "support/engine_harness.h"
#include "support/install_layout.h"
#include "support/local_servers.h"

namespace test_support {
namespace {

namespace fs = std::filesystem;

// How long another process may take to bring a condition about.
constexpr int kWaitSeconds = 20;

// The first line of a box's text: a terminal or Wine's console may end lines its own way.
std::string FirstLine(std::string_view s) { return std::string(s.substr(0, s.find('\r'))); }

class UpdaterTest : public testing::Test {
 protected:
  void SetUp() override {
    LayOutInstall(install_, ListUrl(), extra_config_);
    WriteFile(install_ / "data" / "level1.dat", "level one");
  }
  void TearDown() override {
    // Under Wine the restarted copy has a window, which waits for its user. The server is
    // started again to stay: a server that ends itself a few seconds after its last program
    // can be ending just as the next test's program connects, which then dies.
    if (OnWine()) std::system("wineserver -k; wineserver -w; wineserver -p");
  }

  // A release whose files are the install's with `changes` applied, built with `options` (such as
  // a signing key) and served by varne-release serve when `serve`.
  void Publish(const Snapshot& changes, const std::string& options = "", bool serve = true) {
    fs::remove_all(image_);
    fs::copy(install_, image_, fs::copy_options::recursive);
    fs::remove(image_ / kReleaseStateName);
    for (const auto& [name, bytes] : changes) WriteFile(image_ / name, bytes);
    BuildSite(image_, site_, port_, options);
    if (serve && !server_) server_ = std::make_unique<ReleaseServer>(site_, port_);
  }

  ProcessResult Update(const std::string& arguments = "") {
    return RunIn(install_, Runner() + "RV7WIN9XME.EXE --console " + arguments);
  }

  std::string ListUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/filelist"; }

  // The install's files with `changes` applied, built into a site that a stock nginx serves at
  // 1 MiB/s a connection (so that a run can be killed half-way), logging to access_log_.
  std::unique_ptr<Nginx> PublishThrottled(const Snapshot& changes) {
    Publish(changes, "", false);
    return ServeLogged("\n  limit_rate 1m;");
  }

  // The site as it is, served by a stock nginx with `settings` added to its server block.
  std::unique_ptr<Nginx> ServeLogged(const std::string& settings) {
    std::string conf = ReadFile(site_ / "nginx-site.conf");
    conf.insert(conf.find("server {") + 8,
                settings + "\n  access_log " + access_log_.string() + " blocks;\n");
    WriteFile(root_.GetPath() / "site.conf",
              "log_format blocks '$request_uri $bytes_sent \"$http_range\"';\n" + conf);
    return std::make_unique<Nginx>(port_, root_.GetPath() / "site.conf");
  }

  TempFolder root_{"varne-updater"};
  fs::path install_ = root_.GetPath() / "ゲーム folder";
  fs::path image_ = root_.GetPath() / "image";
  fs::path site_ = root_.GetPath() / "site";
  std::uint16_t port_ = net_testing::FindFreePort();
  std::unique_ptr<ReleaseServer> server_;
  std::string extra_config_;  // configuration lines added to the install's
  fs::path access_log_ = root_.GetPath() / "access.log";
};

// A release with a new updater: the first copy says it will start again, and the swap program
// replaces it once it is gone and starts the new one with its options (which starts the game).
// Then a release with a new package: the updater restarts, and only the restarted copy, which has
// read the new package, follows it to a second release. (With both in one release, the swap
// program must not wait for the restart: the swap test's.)
TEST_F(UpdaterTest, SwapsItsOwnExecutableAndRestartsAfterANewPackage) {
  const std::string updater = ReadFile(install_ / "RV7WIN9XME.EXE") + "next build";
  Publish({{"RV7WIN9XME.EXE", updater}});
  ProcessResult run = Update("--start-game");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find(FirstLine(kUpdaterSwapText)), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(FirstLine(kSelfUpdateNotice)), std::string::npos) << run.out;
  EXPECT_FALSE(fs::exists(install_ / "game-started.txt"));
  EXPECT_TRUE(Eventually(
      [&] {
        return ReadFile(install_ / "RV7WIN9XME.EXE") == updater &&
               !fs::exists(install_ / "RV7WIN9XME.SWAP") &&
               // Under Wine the restarted copy has not been seen to start the game yet.
               (OnWine() || ReadFile(install_ / "game-started.txt") == "started\n");
      },
      kWaitSeconds));

  TempFolder second_site("varne-second-site"), second_image("varne-second-image");
  const std::uint16_t second_port = net_testing::FindFreePort();
  WriteFile(second_image.GetPath() / "proof.txt", "read the new package");
  BuildSite(second_image.GetPath(), second_site.GetPath(), second_port);
  ReleaseServer second(second_site.GetPath(), second_port);
  TempFolder next("varne-next-install");
  LayOutInstall(next.GetPath(), "http://127.0.0.1:" + std::to_string(second_port) + "/filelist");
  Publish({{"RV7.VPK", ReadFile(next.GetPath() / "RV7.VPK")}});
  run = Update();
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find(FirstLine(kUpdaterRestartText)), std::string::npos) << run.out;
  // The restart has also removed the swap program.
  EXPECT_TRUE(Eventually(
      [&] {
        return ReadFile(install_ / "proof.txt") == "read the new package" &&
               !fs::exists(install_ / "rv7swap_ansi.exe");
      },
      kWaitSeconds));
}

// The game's configuration names copies of the site after its server: with the server gone, the
// first copy that answers serves the run.
TEST_F(UpdaterTest, CopiesOfTheSiteTheConfigurationNamesStandInForItsServer) {
  const std::string gone = "http://127.0.0.1:" + std::to_string(net_testing::FindFreePort());
  fs::remove_all(install_);
  LayOutInstall(install_, gone + "/filelist",
                "serverside_mirrors=" + gone + "/other, " + ListUrl() + "\r\n");
  WriteFile(install_ / "data" / "level1.dat", "level one");
  Publish({{"data/level1.dat", "level two"}});
  const ProcessResult run = Update();
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(ReadFile(install_ / "data" / "level1.dat"), "level two");
}

// On a terminal, a folder without its package shows the error in Japanese. An argument the updater
// does not know (a launcher's) is passed over, not an end with nothing shown.
TEST_F(UpdaterTest, TheTerminalShowsTheErrorInJapanese) {
  fs::remove(install_ / "RV7.VPK");
  const ProcessResult run = RunIn(install_, "env LANG=C.UTF-8 script -qec '" + Runner() +
                                                "RV7WIN9XME.EXE -launcher --console' /dev/null");
  EXPECT_NE(run.out.find(FirstLine(kErrorLead)), std::string::npos) << run.out;
}

// The terminal view draws its progress line on a pseudo-terminal, but not with --quiet, and a pipe
// gets one plain line per file instead. The line counts the whole update's bytes (two files of
// random mebibytes), with the rate and the time left.
TEST_F(UpdaterTest, TheProgressLineIsForTerminalsOnly) {
  // Under Wine the window program's standard error does not reach the pseudo-terminal (its
  // standard output does, and so do the console tools' lines: see the release tool's test).
  if (OnWine()) GTEST_SKIP() << "under Wine the window program's errors miss the terminal";
  std::mt19937 random(7);
  std::string noise(1 << 20, ' ');
  for (char& c : noise) c = static_cast<char>(random());
  Publish({{"data/level1.dat", "level two"}, {"data/a.bin", noise}, {"data/b.bin", noise + "b"}});
  const auto terminal = [this](const std::string& options) {
    return RunIn(install_, "env LANG=C.UTF-8 script -qec '" + Runner() +
                               "RV7WIN9XME.EXE --console " + options + "' /dev/null")
        .out;
  };
  const std::string drawn = terminal("");
  const std::regex all(R"((\d+)/\1 files  2\.0 MiB/2\.0 MiB  \S+ \S+  \S+ left)");
  EXPECT_TRUE(std::regex_search(drawn, all)) << drawn;
  EXPECT_EQ(ReadFile(install_ / "data" / "level1.dat"), "level two");
  Publish({{"data/level1.dat", "level three"}});
  const std::string quiet = terminal("--quiet");
  EXPECT_EQ(quiet.find(" files  "), std::string::npos) << quiet;
  EXPECT_EQ(ReadFile(install_ / "data" / "level1.dat"), "level three");
  const ProcessResult piped = Update();
  EXPECT_EQ(piped.err.find(" files  "), std::string::npos) << piped.err;
}

// A folder the updater cannot write is refused. Permission bits do not stop root, and Wine keeps
// no read-only attribute on folders, so the folder is mounted read-only over itself.
TEST_F(UpdaterTest, AReadOnlyFolderIsRefused) {
  const std::string folder = "'" + install_.string() + "' ";
  if (std::system(("mount --bind " + folder + folder + "2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "no mount allowed here";
  }
  const int remounted = std::system(("mount -o remount,bind,ro " + folder).c_str());
  const ProcessResult run = Update();
  test_support::Run("umount " + folder);
  ASSERT_EQ(remounted, 0);
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_NE((run.out + run.err).find(kReadOnlyFolder), std::string::npos) << run.out << run.err;
}

// A large file changed in places comes from a stock nginx by its missing blocks (single ranges side
// by side, held to 512 KiB/s in all by the player's cap, so that the run can be killed part-way).
// The killed run leaves the blocks it had; the next run checks them again and fetches only the
// rest: no package is downloaded whole.
TEST_F(UpdaterTest, AKilledBlockUpdateResumesWithTheBlocksItHad) {
  std::mt19937_64 random(3);
  const std::string old_bytes = block_data::testing::RandomBytes(8 << 20, random);
  const auto changed =
      block_data::testing::Changed(old_bytes, block_data::testing::Change::kRewrite, 40, 5);
  WriteFile(install_ / "data" / "big.bin", old_bytes);
  WriteFile(install_ / kProxyConfigName, "DownloadRateLimit=524288\r\n");
  const auto nginx = PublishThrottled({{"data/big.bin", changed.bytes}});
  const fs::path part = install_ / "data" / platform::ResumablePartName("big.bin");
  {
    const Background cut(install_, Runner() + "RV7WIN9XME.EXE --console");
    // The fetched ranges take about five seconds at the cap: the run is killed in their second.
    ASSERT_TRUE(Eventually([&] { return fs::exists(part); }, kWaitSeconds)) << cut.Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    cut.KillChildren();
    ASSERT_NE(cut.Wait(), 0);
  }
  ASSERT_TRUE(fs::exists(part));
  const ProcessResult resumed = Update();
  EXPECT_EQ(resumed.status, 0) << resumed.out << resumed.err;
  EXPECT_EQ(ReadFile(install_ / "data" / "big.bin"), changed.bytes);
  EXPECT_FALSE(fs::exists(part));
  std::uint64_t package_bytes = 0;
  std::istringstream lines(ReadFile(access_log_));
  for (std::string uri, sent, range; lines >> uri >> sent >> range;) {
    if (uri.find("?file=") == std::string::npos) continue;
    EXPECT_TRUE(range != "\"-\"" && range.find(',') == std::string::npos) << uri << " " << range;
    package_bytes += std::stoull(sent);
  }
  // The stage's unwritten block, the ranges fetched ahead of the writing (two per connection) and
  // the headers are what a cut costs beyond one uncut run.
  EXPECT_LT(package_bytes, changed.new_bytes * 5 / 4 + (256 << 10) + 2 * 16 * (96 << 10))
      << package_bytes;
}

// Killed at random moments while it installs many files, the updater leaves each file old or new
// (its new files wait under hidden names until they are durable); the next run completes the
// install and leaves nothing else behind.
TEST_F(UpdaterTest, KilledAtAnyMomentEachFileIsOldOrNew) {
  Snapshot changes;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "data/f" + std::to_string(i) + ".bin";
    WriteFile(install_ / name, "old " + std::to_string(i));
    changes[name] = std::string(60000 + i, static_cast<char>('a' + i % 26));
  }
  const auto nginx = PublishThrottled(changes);
  const Snapshot before = Take(install_);
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  for (int kill = 0; kill < 3; ++kill) {
    const Background cut(install_, Runner() + "RV7WIN9XME.EXE --console");
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 2000));
    cut.KillChildren();
    cut.Wait();
    for (const auto& [name, bytes] : Take(install_)) {
      const auto old_file = before.find(name);
      const auto new_file = changes.find(name);
      EXPECT_TRUE((old_file != before.end() && old_file->second == bytes) ||
                  (new_file != changes.end() && new_file->second == bytes) ||
                  fs::path(name).filename().string().starts_with(".") || name.starts_with("file"))
          << name << " after a kill";
    }
  }
  const ProcessResult completed = Update();
  ASSERT_EQ(completed.status, 0) << completed.out << completed.err;
  Snapshot after = before;
  for (const auto& [name, bytes] : changes) after[name] = bytes;
  after.erase(kReleaseStateName);
  Snapshot installed = Take(install_);
  installed.erase(kReleaseStateName);
  EXPECT_EQ(installed, after);
}

// A server of the oldest kind: HTTP/1.0 only, every header ignored (Range included), each file
// of its folder named by the raw query that asks for it ("list" for the list). It logs every
// request as it came and, while a file named "slow" is there, sends half of each package and
// then waits.
constexpr char kOldServer[] = R"(import os, socketserver, sys, threading, time
root, port = sys.argv[1], int(sys.argv[2])
lock = threading.Lock()
class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        request = b""
        while not request.endswith(b"\r\n\r\n"):
            line = self.rfile.readline(65536)
            if not line:
                return
            request += line
        with lock, open(os.path.join(root, "requests.log"), "ab") as log:
            log.write(request)
        query = request.split(b" ")[1].decode().partition("?")[2]
        path = os.path.join(root, "site", query or "list")
        if not os.path.isfile(path):
            self.wfile.write(b"HTTP/1.0 404 Not Found\r\n\r\n")
            return
        body = open(path, "rb").read()
        head = b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body)
        if query and os.path.exists(os.path.join(root, "slow")):
            self.wfile.write(head + body[: len(body) // 2])
            self.wfile.flush()
            time.sleep(30)
            return
        self.wfile.write(head + body)
socketserver.ThreadingTCPServer.allow_reuse_address = True
socketserver.ThreadingTCPServer.daemon_threads = True
socketserver.ThreadingTCPServer(("127.0.0.1", port), Handler).serve_forever()
)";

// The site of an older publisher's tool, served as above: a size field that is no size, a digest
// field that is no digest, a line given twice, a game file named as the updater's state, a path
// spelt with ".", a game file under an older part's name. Each run completes where the list allows
// it, asks exactly for the list and the packages by their listed spellings, and leaves nothing of
// its own behind: completed, failed on a package that is not its file, or killed.
TEST_F(UpdaterTest, ASiteOfTheOldestKindIsUpdatedAsItAlwaysWas) {
  const fs::path server_root = root_.GetPath() / "old-server";
  fs::create_directories(server_root / "site");
  WriteFile(server_root / "server.py", kOldServer);
  const Background server(server_root, "python3 server.py . " + std::to_string(port_), 300);
  ASSERT_TRUE(WaitForPort(port_));
  struct Line {
    std::string path, size, digest, bytes;
  };
  std::vector<Line> lines = {
      {"data\\level1.dat", "1000", Md5Of("level one"), "level one"},  // current, not 1000 bytes
      {"data\\grown.dat", "7", Md5Of("grown up"), "grown up"},        // 8 bytes, listed as 7
      {"a.txt", "1", Md5Of("a"), "a"},
      {"a.txt", "1", Md5Of("a"), "a"},
      {"notes.txt", "0", "no digest here", "notes"},  // fetched on every run
      {"RV7.state", "9", Md5Of("game data"), "game data"},
      {".\\data\\dot.txt", "3", Md5Of("dot"), "dot"},
  };
  const auto publish = [&] {
    std::string list;
    for (const Line& line : lines) {
      list += "1::" + line.path + ":" + line.size + ":" + line.digest + "\r\n";
      std::string entry = line.path;
      std::replace(entry.begin(), entry.end(), '\\', '/');
      WriteFile(server_root / "site" /
                    ("file=" + EncodePathForQuery(line.path) + "&orgsize=" + line.size),
                PackageOf(entry, line.bytes));
    }
    WriteFile(server_root / "site" / "list", list);
    fs::remove(server_root / "requests.log");
  };
  const auto request = [](const std::string& target, const std::string& agent) {
    return "GET /filelist" + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: " + agent +
           "\r\nContent-Type: text/html; charset=UTF-8\r\n\r\n";
  };
  // The requests each run made, in the order they came in.
  const auto requests = [&] {
    std::vector<std::string> made;
    const std::string log = ReadFile(server_root / "requests.log");
    for (std::size_t at = 0, end; (end = log.find("\r\n\r\n", at)) != std::string::npos;
         at = end + 4) {
      made.push_back(log.substr(at, end + 4 - at));
    }
    std::sort(made.begin(), made.end());
    return made;
  };
  const auto asked = [&](std::vector<std::size_t> downloaded) {
    // The removed files' document, which such a site does not have (a 404).
    std::vector<std::string> expected{request("", "RovanSevenFileListClient"),
                                      request(".removed", "RovanSevenFileListClient")};
    for (const std::size_t i : downloaded) {
      expected.push_back(
          request("?file=" + EncodePathForQuery(lines[i].path) + "&orgsize=" + lines[i].size,
                  lines[i].digest));
    }
    std::sort(expected.begin(), expected.end());
    return expected;
  };
  // The install's files but the updater's own, which stay as they are, and what the lines leave.
  const Snapshot own = Take(install_);
  const auto files = [&] {
    Snapshot now = Take(install_);
    for (const auto& [name, bytes] : own) {
      if (now[name] == bytes) now.erase(name);
    }
    return now;
  };
  // A game's file under the name that older updaters gave their parts, and the updater's own parts
  // that cut runs left beside a file no longer listed and beside one found current: those go.
  const std::string game_part = "data/.grown.dat.part";
  WriteFile(install_ / game_part, "the game's own");
  for (const char* name : {"gone.dat", "level1.dat"}) {
    WriteFile(install_ / "data" / platform::ResumablePartName(name), "left by a cut run");
  }
  const auto installed = [&] {
    Snapshot expected{{game_part, "the game's own"}};
    for (const Line& line : lines) {
      std::string name = line.path.substr(line.path.starts_with(".\\") ? 2 : 0);
      std::replace(name.begin(), name.end(), '\\', '/');
      if (own.contains(name) && own.at(name) == line.bytes) continue;
      expected[name] = line.bytes;
    }
    return expected;
  };

  publish();
  ProcessResult run = Update();
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(requests(), asked({1, 2, 4, 5, 6}));
  EXPECT_EQ(files(), installed());
  // The game's file under the state's name holds no state: without a key it is left alone.
  publish();
  run = Update();
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.err.find("RV7.state holds no state"), std::string::npos) << run.err;
  EXPECT_EQ(requests(), asked({4}));
  EXPECT_EQ(files(), installed());

  // A package that holds the file before it changed, while the next file downloads beside it.
  lines[2] = lines[3] = {"a.txt", "2", Md5Of("a2"), "a2"};
  lines.insert(lines.begin() + 4, {"b.txt", "1", Md5Of("b"), "b"});
  publish();
  WriteFile(server_root / "site" / ("file=" + EncodePathForQuery("a.txt") + "&orgsize=2"),
            PackageOf("a.txt", "a"));
  const Snapshot before = files();
  run = Update();
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_NE(run.out.find("does not match the list : a.txt"), std::string::npos) << run.out;
  Snapshot after = files();
  after.erase("b.txt");  // checked before the failure, and kept
  EXPECT_EQ(after, before);

  // Killed while packages arrive: what it leaves is the updater's own, and the next run clears it.
  publish();
  WriteFile(server_root / "slow", "");
  {
    const Background cut(install_, Runner() + "RV7WIN9XME.EXE --console");
    ASSERT_TRUE(Eventually([&] { return requests().size() > 1; }, kWaitSeconds)) << cut.Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    cut.KillChildren();
    cut.Wait();
  }
  fs::remove(server_root / "slow");
  run = Update();
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(files(), installed());
}

// An install of a site whose root trusts two of three keys, with a timestamp key of its own; the
// install's configuration names the three. Every attack is tried on the release after the one
// installed, and each is refused with the install left byte for byte as it was.
class SignedReleaseTest : public UpdaterTest {
 protected:
  SignedReleaseTest() {
    for (std::size_t i = 0; i < keys_.size(); ++i) WriteFile(KeyFile(i), keys_[i].private_pem);
    extra_config_ = "serverside_publickey=" + KeySetText(root_keys_) + "\r\n";
  }
  fs::path KeyFile(std::size_t i) const { return root_.GetPath() / ("key" + std::to_string(i)); }
  std::string Key(const char* option, std::size_t i) const {
    return std::string(" ") + option + " '" + KeyFile(i).string() + "'";
  }
  // Signing options: two root keys and a timestamp key.
  std::string Sign(std::size_t a, std::size_t b, std::size_t timestamp) const {
    return Key("--sign", a) + Key("--sign", b) + Key("--timestamp-key", timestamp);
  }
  ProcessResult MakeRoot(std::size_t first, std::size_t timestamp, const std::string& more = "") {
    return RunIn(root_.GetPath(), VARNE_BINARY_DIR "/bin/varne-release root '" + site_.string() +
                                      "' --game varne-test --threshold 2" + Key("--key", first) +
                                      Key("--key", first + 1) + Key("--key", first + 2) +
                                      Key("--timestamp-key", timestamp) + more);
  }
  ReleaseSignature Release() const {
    return VerifyRelease(ReadFile(site_ / "filelist.sig"), root_keys_);
  }
  // The site's timestamp for root 1 signed again by timestamp key `key` for its current signature
  // document, to live `life` seconds.
  void Restamp(std::int64_t life = 3600, std::size_t key = 3,
               std::string game = "varne-test") const {
    const std::string sig = ReadFile(site_ / "filelist.sig");
    const Timestamp stamp{
        game, 1, std::time(nullptr) + life, {sig.size(), platform::Sha256Of(sig)}};
    WriteFile(site_ / "filelist.timestamp", SignTimestamp(stamp, keys_[key].private_pem));
  }
  // The site's release `change`d, signed by root keys `keys`, and stamped.
  void Resign(const std::vector<std::size_t>& keys,
              const std::function<void(ReleaseSignature&)>& change = {}) const {
    ReleaseSignature release = Release();
    if (change) change(release);
    std::vector<std::string> pems;
    for (const std::size_t key : keys) pems.push_back(keys_[key].private_pem);
    WriteFile(site_ / "filelist.sig", SignRelease(release, pems));
    Restamp();
  }

  // Keys 0 to 2 and 4 to 6 are root keys, 3 and 7 timestamp keys.
  std::vector<platform::P256Key> keys_ = [] {
    std::vector<platform::P256Key> keys(8);
    for (auto& key : keys) key = platform::GenerateP256Key();
    return keys;
  }();
  // Keys 0 to 2, two of them needed.
  const KeySet root_keys_{2, {keys_[0].public_key, keys_[1].public_key, keys_[2].public_key}};
};

TEST_F(SignedReleaseTest, SignedReleasesInstallAndAttacksAreRefused) {
  ASSERT_EQ(MakeRoot(0, 3).status, 0);
  Publish({{"data/level1.dat", "level two"}, {"マップ/新しい/level2.dat", "level two"}},
          Sign(0, 1, 3));
  ProcessResult run = Update();
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(ReadFile(install_ / "マップ" / "新しい" / "level2.dat"), "level two");
  const std::string state = ReadFile(install_ / kReleaseStateName);
  // Told to, the game starts without a terminal to ask on. The same serial is accepted again, and
  // the current install stays as it was.
  const Snapshot current = Take(install_);
  // What a run killed while it wrote the state left goes, though no file goes into the folder.
  const fs::path cut_state = install_ / ".RV7.state.4194304-0.rv7new.tmp";
  WriteFile(cut_state, "ReleaseSerial=");
  run = Update("--start-game");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  ASSERT_FALSE(fs::exists(cut_state));
  EXPECT_TRUE(Eventually([&] { return fs::exists(install_ / "game-started.txt"); }, kWaitSeconds));
  Snapshot after = Take(install_);
  after.erase("game-started.txt");
  EXPECT_EQ(after, current);

  // The next release, changed in transit, on the site or in the install's own files.
  const Snapshot older = Take(site_);
  Publish({{"data/level1.dat", "level three"}}, Sign(0, 1, 3));
  const Snapshot newer = Take(site_);
  TempFolder keyless("varne-keyless");
  LayOutInstall(keyless.GetPath(), ListUrl());
  const std::string package = ReadFile(install_ / "RV7.VPK");
  struct Attack {
    const char* name;
    std::function<void()> tamper;
    std::string refusal;
  } const attacks[] = {
      {"arbitrary installation: a package swapped for data\\level1.dat's 11 bytes",
       [&] {
         fs::path level1, other;
         for (const auto& item : fs::recursive_directory_iterator(site_ / "packages"))
           if (item.is_regular_file())
             (item.path().filename() == "11.vpk" ? level1 : other) = item.path();
         WriteFile(level1, ReadFile(other));
       },
       "level1.dat"},
      {"no signature", [&] { fs::remove(site_ / "filelist.sig"); }, "signature missing"},
      {"no key in the install's package and an unsigned site",
       [&] {
         fs::copy_file(keyless.GetPath() / "RV7.VPK", install_ / "RV7.VPK",
                       fs::copy_options::overwrite_existing);
         for (const char* name : {"filelist.sig", "filelist.roots", "filelist.timestamp"})
           fs::remove(site_ / name);
       },
       "signature missing"},
      {"rollback below the installed serial",
       [&] {
         WriteFile(install_ / kReleaseStateName,
                   "ReleaseSerial=" + std::to_string(Release().serial + 1) +
                       state.substr(state.find("\r\n")));
       },
       "older release than installed."},
      {"damaged state", [&] { WriteFile(install_ / kReleaseStateName, "garbage"); }, "damaged"},
      {"current by MD5 alone",  // the listed MD5 is the installed file's, the signed SHA-256 not
       [&] {
         WriteFile(install_ / "data" / "level1.dat", "level three");
         const std::string list = ReadFile(site_ / "filelist");
         Resign({0, 1}, [&](ReleaseSignature& release) {
           release.files[std::count(list.begin(), list.begin() + list.find("level1.dat"), '\n')] =
               platform::Sha256Of("level four");
         });
       },
       "level1.dat"},
      {"one stolen key of two needed", [&] { Resign({0}); }, "does not verify"},
      {"fast-forward by a key the root does not hold",
       [&] {
         Resign({4, 5}, [](ReleaseSignature& r) { r.serial = UINT64_MAX; });
       },
       "does not verify"},
      {"mix and match: the list of one release, the signature of the other",
       [&] { WriteFile(site_ / "filelist", older.at("filelist")); },
       "file list does not match its signature."},
      {"extraneous dependencies: a file added to the list",
       [&] { WriteFile(site_ / "filelist", newer.at("filelist") + "1::x.exe:1:" + Md5Of("x")); },
       "file list does not match its signature."},
      {"freeze: a stale timestamp", [&] { Restamp(-60); }, "expired"},
      {"freeze: a timestamp for longer than a day", [&] { Restamp(3 * 86400); }, "lives too long"},
      {"a timestamp not signed with the timestamp key", [&] { Restamp(3600, 0); },
       "does not verify"},
      {"wrong software: the release of another game, same keys", [&] { Restamp(3600, 3, "other"); },
       "another game"},
      {"an expired release",
       [&] {
         Resign({0, 1}, [](ReleaseSignature& r) { r.expires = std::time(nullptr) - 60; });
       },
       "release expired."},
      {"endless data", [&] { fs::resize_file(site_ / "filelist.sig", 81u << 20); }, "too large"},
  };
  for (const Attack& attack : attacks) {
    for (const auto& [name, bytes] : newer) WriteFile(site_ / name, bytes);
    WriteFile(install_ / kReleaseStateName, state);
    WriteFile(install_ / "RV7.VPK", package);
    attack.tamper();
    const Snapshot before = Take(install_);
    run = Update();
    EXPECT_EQ(run.status, 1) << attack.name << "\n" << run.out << run.err;
    EXPECT_NE(run.out.find(attack.refusal), std::string::npos) << attack.name << "\n" << run.out;
    EXPECT_EQ(Take(install_), before) << attack.name;
  }
}

// A fresh install whose configuration names its game takes its first signed release only from a
// root of that game, with its timestamp; a configuration without the name (made before roots)
// still takes one that its keys alone sign.
TEST_F(SignedReleaseTest, AFirstRunIsBoundToTheGameItsConfigurationNames) {
  ASSERT_EQ(MakeRoot(0, 3).status, 0);
  Publish({{"data/level1.dat", "level two"}}, Sign(0, 1, 3));
  const Snapshot site = Take(site_);
  const struct {
    std::string game;  // the configuration's serverside_game; empty: none
    bool stripped;     // the site without its roots and timestamp
    int status;
    std::string said;
  } rows[] = {
      {"other", false, 1, "root is for another game."},
      {"varne-test", true, 1, "no trust root"},
      {"", true, 0, ""},
      {"varne-test", false, 0, ""},
  };
  int fresh = 0;
  for (const auto& row : rows) {
    for (const auto& [name, bytes] : site) WriteFile(site_ / name, bytes);
    if (row.stripped) {
      for (const char* name : {"filelist.roots", "filelist.timestamp"}) fs::remove(site_ / name);
    }
    const fs::path install = root_.GetPath() / ("fresh" + std::to_string(fresh++));
    LayOutInstall(install, ListUrl(),
                  extra_config_ + (row.game.empty() ? "" : "serverside_game=" + row.game + "\r\n"));
    const ProcessResult run = RunIn(install, Runner() + "RV7WIN9XME.EXE --console");
    EXPECT_EQ(run.status, row.status) << row.game << run.out << run.err;
    EXPECT_NE(run.out.find(row.said), std::string::npos) << row.game << run.out;
    EXPECT_EQ(fs::exists(install / "data" / "level1.dat"), row.status == 0) << row.game;
  }
}

// Two root keys and the timestamp key stolen: a release with the highest serial installs, and the
// publisher's next build would sign below it. A rotation to new keys, which the old ones sign,
// recovers every install; a mirror that withholds the rotation is seen, and the stolen keys sign
// nothing any more.
TEST_F(SignedReleaseTest, ARootRotationRecoversFromAFastForward) {
  ASSERT_EQ(MakeRoot(0, 3).status, 0);
  Publish({{"data/level1.dat", "level two"}}, Sign(0, 1, 3));
  ASSERT_EQ(Update().status, 0);
  Resign({0, 1}, [](ReleaseSignature& r) { r.serial = UINT64_MAX; });
  const Snapshot stolen = Take(site_);
  ProcessResult run = Update();
  ASSERT_EQ(run.status, 0) << run.out;

  // The image leaves the install's package out: the package names the old keys, and only the
  // rotation, not the package, changes what the install trusts.
  fs::remove(image_ / "RV7.VPK");
  WriteFile(image_ / "data" / "level1.dat", "level three");
  ASSERT_EQ(MakeRoot(4, 7, Key("--sign", 0) + Key("--sign", 1)).status, 0);
  BuildSite(image_, site_, port_, Sign(4, 5, 7));
  const std::string roots = ReadFile(site_ / "filelist.roots");
  WriteFile(site_ / "filelist.roots", stolen.at("filelist.roots"));
  run = Update();
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("newer root could not be followed"), std::string::npos) << run.out;
  WriteFile(site_ / "filelist.roots", roots);
  run = Update();
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(ReadFile(install_ / "data" / "level1.dat"), "level three");

  for (const char* name : {"filelist", "filelist.sig", "filelist.timestamp"})
    WriteFile(site_ / name, stolen.at(name));
  run = Update();
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("does not verify"), std::string::npos) << run.out;
  EXPECT_EQ(ReadFile(install_ / "data" / "level1.dat"), "level three");
}

// A release renames a large file into another folder, copies another and removes two, one of which
// the player edited: the player's run takes the bytes it holds from disk and fetches almost
// nothing, the removed files go, and the edited one stays.
TEST_F(SignedReleaseTest, RenamedAndCopiedFilesComeFromDiskAndRemovedOnesGo) {
  std::mt19937_64 random(43);
  const std::string movie = block_data::testing::RandomBytes(100 << 20, random);
  const std::string shared = block_data::testing::RandomBytes(3 << 20, random);
  const Snapshot first = {{"movies/intro.bin", movie},
                          {"data/shared.bin", shared},
                          {"old/a.txt", "removed a"},
                          {"old/b.txt", "removed b"}};
  for (const auto& [name, bytes] : first) WriteFile(install_ / name, bytes);
  ASSERT_EQ(MakeRoot(0, 3).status, 0);
  Publish({}, Sign(0, 1, 3), false);
  const auto nginx = ServeLogged("");
  ProcessResult run = Update();
  ASSERT_EQ(run.status, 0) << run.out << run.err;

  for (const char* gone : {"movies/intro.bin", "old/a.txt", "old/b.txt"}) fs::remove(image_ / gone);
  WriteFile(image_ / "video" / "intro.bin", movie);
  WriteFile(image_ / "data" / "shared copy.bin", shared);
  BuildSite(image_, site_, port_, Sign(0, 1, 3));
  WriteFile(install_ / "old" / "b.txt", "edited by the player");
  const std::uintmax_t logged = fs::file_size(access_log_);
  run = Update();
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_TRUE(ReadFile(install_ / "video" / "intro.bin") == movie);
  EXPECT_TRUE(ReadFile(install_ / "data" / "shared copy.bin") == shared);
  EXPECT_TRUE(ReadFile(install_ / "data" / "shared.bin") == shared);
  EXPECT_FALSE(fs::exists(install_ / "movies" / "intro.bin"));
  EXPECT_FALSE(fs::exists(install_ / "old" / "a.txt"));
  EXPECT_EQ(ReadFile(install_ / "old" / "b.txt"), "edited by the player");
  std::uint64_t sent = 0;
  std::istringstream lines(ReadFile(access_log_).substr(logged));
  for (std::string uri, bytes, range; lines >> uri >> bytes >> range;) sent += std::stoull(bytes);
  EXPECT_LT(sent, 1u << 20);
}

// Three copies of the site, each behind a stock nginx: the game's server serves the release
// before, whose signed list of copies names the other two: one that damages every package of the
// game's data it serves, whole or by blocks, and one that stops answering while it sends (its
// worker held for a few seconds). The player ends on the newest release byte for byte, the large
// files coming by blocks, and again when only the small files come whole.
TEST_F(SignedReleaseTest, CopiesThatStallDamageOrLagCostThePlayerNothing) {
  ASSERT_EQ(MakeRoot(0, 3).status, 0);
  const auto copy_of = [&](const fs::path& copy, std::uint16_t port) {
    fs::copy(site_, copy, fs::copy_options::recursive);
    std::string conf = ReadFile(site_ / "nginx-site.conf");
    for (std::size_t at; (at = conf.find(site_.string())) != std::string::npos;) {
      conf.replace(at, site_.string().size(), copy.string());
    }
    const std::string listen = "127.0.0.1:" + std::to_string(port_);
    conf.replace(conf.find(listen), listen.size(), "127.0.0.1:" + std::to_string(port));
    conf.insert(conf.find("server {") + 8, "\n  limit_rate 2m;\n");
    WriteFile(copy / "copy.conf", conf);
    return std::make_unique<Nginx>(port, copy / "copy.conf");
  };
  const std::uint16_t ports[] = {net_testing::FindFreePort(), net_testing::FindFreePort(),
                                 net_testing::FindFreePort()};
  const auto url = [](std::uint16_t port) {
    return "http://127.0.0.1:" + std::to_string(port) + "/filelist";
  };
  // Every install, and both releases, hold one game's package, which names the lagging server
  // alone: no run replaces the package and restarts.
  std::string package;
  const auto lay_out = [&] {
    // Under Wine an updater can still be ending after its console has returned; the next run
    // would meet it as a second copy.
    if (OnWine()) std::system("wineserver -k; wineserver -w; wineserver -p");
    fs::remove_all(install_);
    LayOutInstall(install_, url(ports[2]), extra_config_);
    if (package.empty()) package = ReadFile(install_ / "RV7.VPK");
    WriteFile(install_ / "RV7.VPK", package);
  };
  lay_out();
  Publish({{"data/level1.dat", "level two"}},
          Sign(0, 1, 3) + " --mirror " + url(ports[1]) + " --mirror " + url(ports[0]), false);
  const auto lagging = copy_of(root_.GetPath() / "lagging", ports[2]);
  std::mt19937_64 random(11);
  Snapshot newest;
  for (int i = 0; i < 16; ++i) {
    newest["data/file" + std::to_string(i) + ".bin"] =
        block_data::testing::RandomBytes(i < 4 ? 3 << 20 : 300 << 10, random);
  }
  Publish(newest, Sign(0, 1, 3), false);
  const auto damaged = copy_of(root_.GetPath() / "damaged", ports[1]);
  const auto stalling = copy_of(root_.GetPath() / "stalling", ports[0]);
  for (const auto& file : fs::recursive_directory_iterator(root_.GetPath() / "damaged")) {
    if (file.path().string().find(EncodePathForQuery("data")) == std::string::npos ||
        file.path().extension() != ".vpk") {
      continue;
    }
    std::string bytes = ReadFile(file.path());
    bytes[bytes.size() / 2] ^= 1;
    WriteFile(file.path(), bytes);
  }
  const auto expect_newest = [&](const ProcessResult& run) {
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    for (const auto& [name, bytes] : newest)
      EXPECT_TRUE(ReadFile(install_ / name) == bytes) << name;
  };
  lay_out();
  {
    const Background run(install_, Runner() + "RV7WIN9XME.EXE --console");
    ASSERT_TRUE(Eventually([&] { return fs::exists(install_ / "data"); }, kWaitSeconds))
        << run.Output();
    stalling->Hold(true);
    std::this_thread::sleep_for(std::chrono::seconds(4));
    stalling->Hold(false);
    ASSERT_EQ(run.Wait(60), 0) << run.Output();
    expect_newest({0, run.Out(), run.Err()});
  }
  lay_out();
  for (int i = 0; i < 4; ++i) {
    const std::string name = "data/file" + std::to_string(i) + ".bin";
    WriteFile(install_ / name, newest[name]);
  }
  expect_newest(Update());
  // Its server still a release behind the one installed, the player goes on through the copies
  // that server names.
  expect_newest(Update());
}

// Each cause of a failure the player can act on is said in the box after the failure's own text,
// with what to do; the run ends with status 1 and the install as it was. A small file system
// refuses an update that cannot fit before anything is written, and one that fills anyway leaves
// only what a resume needs.
TEST_F(SignedReleaseTest, EachCauseSaysWhatThePlayerCanDo) {
  ASSERT_EQ(MakeRoot(0, 3).status, 0);
  Publish({{"data/level1.dat", "level two"}}, Sign(0, 1, 3));
  ASSERT_EQ(Update().status, 0);
  const std::string state = ReadFile(install_ / kReleaseStateName);
  Publish({{"data/level1.dat", "level three"}}, Sign(0, 1, 3));
  const Snapshot site = Take(site_);
  const struct {
    const char* name;
    std::function<void()> arrange;
    std::string paragraph;  // its first line is checked: a terminal may end lines its own way
  } rows[] = {
      {"no network", [&] { server_.reset(); },
       CauseParagraph(ErrorCause::kNetwork, {"127.0.0.1:" + std::to_string(port_), {}})},
      {"a clock a day behind", [&] { Restamp(-60); }, CauseParagraph(ErrorCause::kClock, {})},
      {"an unsigned release", [&] { fs::remove(site_ / "filelist.sig"); },
       CauseParagraph(ErrorCause::kPublisher, {})},
      {"a site without its list", [&] { fs::remove(site_ / "filelist"); },
       CauseParagraph(ErrorCause::kPublisher, {})},
      {"a damaged state", [&] { WriteFile(install_ / kReleaseStateName, "garbage"); },
       CauseParagraph(ErrorCause::kInstall, {kReleaseStateName, {}})},
  };
  for (const auto& row : rows) {
    for (const auto& [name, bytes] : site) WriteFile(site_ / name, bytes);
    WriteFile(install_ / kReleaseStateName, state);
    if (!server_) server_ = std::make_unique<ReleaseServer>(site_, port_);
    row.arrange();
    const Snapshot before = Take(install_);
    const ProcessResult run = Update();
    EXPECT_EQ(run.status, 1) << row.name << "\n" << run.out << run.err;
    EXPECT_NE(run.out.find(FirstLine(row.paragraph.substr(4))), std::string::npos)
        << row.name << "\n"
        << run.out;
    EXPECT_EQ(Take(install_), before) << row.name;
  }
}

TEST_F(UpdaterTest, ASmallDiskIsRefusedBeforeAnythingIsWritten) {
  std::mt19937_64 random(5);
  WriteFile(install_ / "data" / "big.bin", block_data::testing::RandomBytes(3 << 20, random));
  const Snapshot installed = Take(install_);
  fs::copy(install_, image_, fs::copy_options::recursive);
  std::uint64_t used = 2 << 20;  // the install moved onto a file system with 2 MiB to spare
  for (const auto& [name, bytes] : installed) used += bytes.size();
  const std::string folder = "'" + install_.string() + "'", size = std::to_string(used >> 10);
  if (std::system(
          ("mount -t tmpfs -o size=" + size + "k none " + folder + " 2>/dev/null").c_str())) {
    GTEST_SKIP() << "no mount allowed here";
  }
  const std::unique_ptr<void, std::function<void(void*)>> mounted(
      this, [&](void*) { std::system(("umount " + folder).c_str()); });
  fs::copy(image_, install_, fs::copy_options::recursive);
  const std::string disk_full = "ディスクの空き容量が足りません。ドライブ ";

  Publish({{"data/new.bin", block_data::testing::RandomBytes(8 << 20, random)}});
  ProcessResult run = Update();
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_NE(run.out.find("Not enough free disk space"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(" MB 以上の空きを作ってから"), std::string::npos) << run.out;
  EXPECT_EQ(Take(install_), installed);

  // A file of the same size counts nothing beforehand: its new bytes then find the disk full.
  Publish({{"data/big.bin", block_data::testing::RandomBytes(3 << 20, random)}});
  run = Update();
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_NE(run.out.find(disk_full), std::string::npos) << run.out;
  Snapshot after = Take(install_);
  std::erase_if(after, [](const auto& file) {
    return file.first == fs::path("data") / platform::ResumablePartName("big.bin");
  });
  EXPECT_EQ(after, installed);
}

// With the publisher's fast check, a run after a run reads nothing, so bytes that changed where
// the file system could not see it (here: a stamp that claims the listed digest) stay until the
// player asks for --verify, which reads every file.
TEST_F(UpdaterTest, TheFastCheckTrustsTheStampsUntilAVerify) {
  fs::remove_all(install_);
  LayOutInstall(install_, ListUrl(), "fast_check=1\r\n");
  WriteFile(install_ / "data" / "level1.dat", "level 1!!");
  // Written long ago: a stamp taken just after a write vouches for nothing.
  for (const fs::directory_entry& file : fs::recursive_directory_iterator(install_)) {
    if (file.is_regular_file()) {
      fs::last_write_time(file.path(), fs::file_time_type::clock::now() - std::chrono::hours(1));
    }
  }
  Publish({});
  ASSERT_EQ(Update().status, 0);
  const fs::path stamps = install_ / "RV7.stamps";
  const std::string stamped = ReadFile(stamps);
  ASSERT_EQ(Update().status, 0);
  // Any file read would have been stamped anew.
  EXPECT_EQ(ReadFile(stamps), stamped);

  std::string body = stamped.substr(0, stamped.rfind("md5 "));
  body.replace(body.find(Md5Of("level 1!!")), 32, Md5Of("level one"));
  // Published without the stamps, which are the install's own.
  fs::remove(stamps);
  Publish({{"data/level1.dat", "level one"}});
  WriteFile(stamps, body + "md5 " + Md5Of(body) + "\n");
  ProcessResult run = Update();
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(ReadFile(install_ / "data" / "level1.dat"), "level 1!!");
  run = Update("--verify");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(ReadFile(install_ / "data" / "level1.dat"), "level one");
}

}  // namespace
}  // namespace test_support
