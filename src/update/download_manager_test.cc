#include "update/download_manager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

#include "base/base64.h"
#include "site/install_names.h"
#include "update/testing/engine_testing.h"

namespace update_testing {
namespace {

using Clock = std::chrono::steady_clock;
using net_testing::Reply;

// The manager's last report (its text and the files done), kept from its worker.
struct LastReport {
  static void Callback(int, int done, const std::tstring* text, std::uint64_t, std::uint64_t,
                       void* user) {
    auto& last = *static_cast<LastReport*>(user);
    std::lock_guard hold(last.mutex);
    last.report = {*text, done};
  }
  std::pair<std::string, int> Get() {
    std::lock_guard hold(mutex);
    return report;
  }
  std::mutex mutex;
  std::pair<std::string, int> report;
};

std::string Line(const std::string& name, const std::string& bytes) {
  return "1::" + name + ":" + std::to_string(bytes.size()) + ":" + Md5Of(bytes) + "\r\n";
}

const std::string kAbortByUser = "HttpClient : Abort by User.";
const std::string kTaskAborted = "DownloadManager : Task Aborted.";

// One manager, run after run. A stop ends a run within a second wherever it is, with the failure
// of that place reported last; a Start while it runs changes nothing; each run after a stopped or
// failed one starts afresh (the client's abort cleared).
TEST(DownloadManagerTest, RunAfterRunAndAStopWhereverTheRunIs) {
  InstallFolder install;
  install.Write("a.txt", "a");
  // Far too large to be digested before the stop.
  install.Write("huge.bin", "");
  std::filesystem::resize_file(install.Native("huge.bin"), std::uintmax_t{4} << 30);
  const std::string b(100000, 'b'), list = Line("a.txt", "a") + Line("b.bin", b);
  const std::string half_of_b = Answer(PackageOf("b.bin", b)).substr(0, 50000);
  // Listed at its size, so that only its digest can tell whether it is current.
  const std::string huge_list = Line("a.txt", "a") + "1::huge.bin:4294967296:" + Md5Of("") + "\r\n",
                    game = kGamePackageName;
  const std::string not_found = "HttpClient : Receive error code : 404";
  const Reply no_removed_files{{"HTTP/1.0 404 Not Found\r\n\r\n"}};
  const std::string key = EncodeBase64(platform::GenerateP256Key().public_key);
  const struct {
    const char* stage;
    std::vector<Reply> replies;
    std::string key;       // only its presence counts before the signed documents arrive
    const char* stop_at;   // stopped once the run reports this turn; null: not stopped
    std::size_t requests;  // and the server has seen this many requests
    std::string error;     // empty: completed
    int done;
  } runs[] = {
      {"list fetch", {SilentAfter("HTTP/1.0 200 OK\r\nContent-Le")}, "", "", 1, kAbortByUser, 0},
      {"signed documents", {Whole(list), SilentAfter("HTTP/1.0 200")}, key, "", 2, kAbortByUser, 0},
      {"transfer",
       {Whole(list), no_removed_files, SilentAfter(half_of_b)},
       "",
       "b.bin",
       3,
       kAbortByUser,
       1},
      // A file this large asks for block data while it is digested.
      {"file check", {Whole(huge_list), no_removed_files}, "", "huge.bin", 3, kTaskAborted, 1},
      {"failure", {{{"HTTP/1.0 404 Not Found\r\n\r\n"}}}, "", nullptr, 1, not_found, 0},
      {"completion",
       {Whole(Line(game, "p")), no_removed_files, Whole(PackageOf(game, "p"))},
       "",
       nullptr,
       3,
       "",
       1},
  };
  LastReport log;
  DownloadManager manager;
  EXPECT_EQ(manager.Wait(0), DownloadManager::kIdle);
  manager.SetProgressCallback(&LastReport::Callback, &log);
  for (const auto& run : runs) {
    net_testing::ScriptedServer server;
    server.SetReplies(run.replies);
    manager.SetPublicKey(run.key);
    manager.Start(ListUrl(server), "null");
    if (run.stop_at != nullptr) {
      test_support::Eventually([&] {
        return server.GetRequests().size() >= run.requests &&
               (!*run.stop_at || log.Get().first == run.stop_at);
      });
      EXPECT_EQ(manager.Wait(0), DownloadManager::kRunning) << run.stage;
      manager.Start("http://127.0.0.1:1/other", "null");
      const auto stopped = Clock::now();
      manager.Stop();
      EXPECT_LT(Clock::now() - stopped, std::chrono::seconds(1)) << run.stage;
    }
    EXPECT_EQ(manager.Wait(DownloadManager::kInfinite),
              run.error.empty() ? DownloadManager::kCompleted : DownloadManager::kIdle);
    if (!run.error.empty()) {
      EXPECT_EQ(std::string(manager.GetErrorMessage()), run.error) << run.stage;
    }
    const auto [text, done] = log.Get();
    EXPECT_EQ(text, run.error.empty() ? "完了." : run.error) << run.stage;
    EXPECT_EQ(done, run.done) << run.stage;
    EXPECT_EQ(server.GetRequests().size(), run.requests) << run.stage;
    EXPECT_EQ(manager.IsPackageReplaced(), run.error.empty()) << run.stage;
  }
  EXPECT_EQ(install.Read(game), "p");
}

// A stop that lands anywhere around the end of a short run, or a manager destroyed while it runs,
// leaves one outcome, reported last: completed, or failed with a stop's text.
TEST(DownloadManagerTest, AStopRacingTheEndLeavesOneOutcome) {
  InstallFolder install;
  install.Write("a.txt", "a");
  int completed = 0;
  for (int i = 0; i <= 30; ++i) {
    std::filesystem::remove(install.Native("b.txt"));
    net_testing::ScriptedServer server;
    server.SetReplies(
        {Whole(Line("a.txt", "a") + Line("b.txt", "b")), Whole(PackageOf("b.txt", "b"))});
    LastReport log;
    {
      DownloadManager manager;
      manager.SetProgressCallback(&LastReport::Callback, &log);
      manager.Start(ListUrl(server), "null");
      // The runs take a few milliseconds: the later stops come after the end.
      std::this_thread::sleep_for(std::chrono::milliseconds(i < 30 ? i : 1000));
      // Every third manager is destroyed while it may still run.
      if (i % 3 != 2) {
        manager.Stop();
        const bool done = manager.Wait(0) == DownloadManager::kCompleted;
        completed += done;
        EXPECT_EQ(done, log.Get().first == "完了.") << i;
      }
    }
    const std::string last = log.Get().first;
    EXPECT_TRUE(last == "完了." || last == kAbortByUser || last == kTaskAborted) << i << last;
  }
  EXPECT_GT(completed, 0);
}

}  // namespace
}  // namespace update_testing
