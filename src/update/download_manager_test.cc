#include "update/download_manager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "net/testing/scripted_server.h"
#include "storage/storage_test_util.h"
#include "storage/test_folder.h"
#include "storage/varne_file_manager.h"
#include "update/install_names.h"

namespace {

using Clock = std::chrono::steady_clock;
using net_testing::Reply;
using net_testing::ScriptedServer;

// A scratch install folder as the updater has it: the current directory, with the process's file
// manager.
class InstallFolder : public TestFolder {
 public:
  InstallFolder() : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(GetPath());
  }
  ~InstallFolder() { std::filesystem::current_path(previous_); }

 private:
  std::filesystem::path previous_;
  VarneFileManager files_;
};

struct Report {
  int total, done;
  std::string text;
  int size, received;
};

// The manager's reports, collected from its worker.
class ReportLog {
 public:
  static void Callback(int total, int done, const std::tstring* text, int size, int received,
                       void* user) {
    auto& log = *static_cast<ReportLog*>(user);
    std::lock_guard hold(log.mutex_);
    log.reports_.push_back({total, done, *text, size, received});
  }
  std::optional<Report> Last() {
    std::lock_guard hold(mutex_);
    if (reports_.empty()) return std::nullopt;
    return reports_.back();
  }
  std::vector<Report> Take() {
    std::lock_guard hold(mutex_);
    return std::exchange(reports_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<Report> reports_;
};

std::string Md5Of(const std::string& bytes) {
  return MD5().DigestText(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}
std::string Line(const std::string& name, const std::string& bytes) {
  return "1::" + name + ":" + std::to_string(bytes.size()) + ":" + Md5Of(bytes) + "\r\n";
}
std::string Answer(const std::string& body) {
  return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
std::string PackageOf(const std::string& name, const std::string& bytes) {
  return TestPackage({{name, bytes}}).Bytes();
}
Reply Whole(const std::string& body) { return {{Answer(body)}}; }
// Sends `head`, then nothing until the server goes.
Reply SilentAfter(const std::string& head) { return {{head, ""}, net_testing::kSilent}; }
std::string ListUrl(const ScriptedServer& server) {
  return "http://127.0.0.1:" + std::to_string(server.GetPort()) + "/list";
}

template <typename Condition>
bool Eventually(Condition condition) {
  for (const auto until = Clock::now() + std::chrono::seconds(20); Clock::now() < until;) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

const std::string kAbortByUser = "HttpClient : Abort by User.";
const std::string kTaskAborted = "DownloadManager : Task Aborted.";

// Wherever the run is, a stop ends it within a second with the failure of that place, reported
// last with the counts so far; a Start while it runs changes nothing.
TEST(DownloadManagerTest, AStopEndsTheRunWhereverItIs) {
  const std::string package = Answer(PackageOf("b.bin", std::string(100000, 'b')));
  const std::string list = Line("a.txt", "a") + Line("b.bin", std::string(100000, 'b'));
  const struct {
    const char* stage;
    std::vector<Reply> replies;  // none: the list's connection is never answered
    const char* key;             // the publisher's key; the key's worth is never looked at
    std::size_t requests;        // the stop comes once the server has seen this many requests
    const char* turn;            // and the run has reported this file's turn (or anything)
    std::string error;
    int done;
    bool large_b = false;  // the installed b.bin is far too large to be digested before the stop
  } stages[] = {
      {"connecting", {}, "", 0, "", kAbortByUser, 0},
      {"list fetch", {SilentAfter("HTTP/1.0 200 OK\r\nContent-Le")}, "", 1, "", kAbortByUser, 0},
      {"signature fetch",
       {Whole(list), SilentAfter("HTTP/1.0 200")},
       "key",
       2,
       "",
       kAbortByUser,
       0},
      {"transfer",
       {Whole(list), SilentAfter(package.substr(0, 50000))},
       "",
       2,
       "b.bin",
       kAbortByUser,
       1},
      {"file check",
       {Whole(Line("a.txt", "a") + Line("b.bin", "new"))},
       "",
       1,
       "b.bin",
       kTaskAborted,
       1,
       true},
  };
  for (const auto& stage : stages) {
    ScriptedServer server;
    std::optional<net_testing::UnansweredListener> unanswered;
    if (stage.replies.empty()) {
      unanswered.emplace();
    } else {
      server.SetReplies(stage.replies);
    }
    InstallFolder install;
    install.Write("a.txt", "a");
    if (stage.large_b) {
      install.Write("b.bin", "");
      std::filesystem::resize_file(install.Native("b.bin"), std::uintmax_t{4} << 30);
    }
    ReportLog log;
    DownloadManager manager;
    manager.SetProgressCallback(&ReportLog::Callback, &log);
    manager.SetPublicKey(stage.key);
    manager.Start(unanswered ? "http://127.0.0.1:" + std::to_string(unanswered->GetPort()) + "/"
                             : ListUrl(server),
                  "null");
    if (unanswered) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(Eventually([&] {
      const std::optional<Report> last = log.Last();
      return server.GetRequests().size() >= stage.requests &&
             (*stage.turn == '\0' || (last && last->text == stage.turn));
    })) << stage.stage;
    EXPECT_EQ(manager.Wait(0), DownloadManager::kRunning) << stage.stage;
    manager.Start("http://127.0.0.1:1/other", "null");
    const auto stopped = Clock::now();
    manager.Stop();
    EXPECT_LT(Clock::now() - stopped, std::chrono::seconds(1)) << stage.stage;
    EXPECT_EQ(manager.Wait(0), DownloadManager::kIdle) << stage.stage;
    EXPECT_EQ(manager.GetErrorMessage(), stage.error) << stage.stage;
    const Report last = log.Last().value();
    EXPECT_EQ(last.text, stage.error) << stage.stage;
    EXPECT_EQ(last.done, stage.done) << stage.stage;
    EXPECT_EQ(server.GetRequests().size(), stage.requests) << stage.stage;
  }
}

// One manager runs again after a stopped and after a failed run: each run starts afresh (the
// client's abort cleared, the list fetch not reported) and reports its own end.
TEST(DownloadManagerTest, EachStartBeginsAfresh) {
  InstallFolder install;
  ReportLog log;
  DownloadManager manager;
  EXPECT_EQ(manager.Wait(0), DownloadManager::kIdle);
  manager.SetProgressCallback(&ReportLog::Callback, &log);
  ScriptedServer stalled;
  stalled.SetReplies({SilentAfter("HTTP/1.0 200 OK\r\n")});
  manager.Start(ListUrl(stalled), "null");
  ASSERT_TRUE(Eventually([&] { return !stalled.GetRequests().empty(); }));
  manager.Stop();
  EXPECT_EQ(manager.GetErrorMessage(), kAbortByUser);

  ScriptedServer server;
  server.SetReplies({{{"HTTP/1.0 404 Not Found\r\n\r\n"}}});
  manager.Start(ListUrl(server), "null");
  EXPECT_EQ(manager.Wait(DownloadManager::kInfinite), DownloadManager::kIdle);
  EXPECT_EQ(manager.GetErrorMessage(), "HttpClient : Receive error code : 404");
  EXPECT_FALSE(manager.IsPackageReplaced());

  log.Take();
  server.SetReplies({Whole(Line(kGamePackageName, "pack")), Whole(PackageOf("RV7.VPK", "pack"))});
  manager.Start(ListUrl(server), "null");
  EXPECT_EQ(manager.Wait(DownloadManager::kInfinite), DownloadManager::kCompleted);
  EXPECT_EQ(install.Read(kGamePackageName), "pack");
  EXPECT_TRUE(manager.IsPackageReplaced());
  const std::vector<Report> reports = log.Take();
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(reports.front().text, kGamePackageName);
  EXPECT_EQ(reports.front().received, 0);
  EXPECT_EQ(reports.back().text, "完了.");
  EXPECT_EQ(reports.back().done, 1);
}

// A stop that lands anywhere around the end of a short run, or a manager destroyed while it
// runs, leaves one consistent outcome: completed, or failed with a stop's text reported last.
TEST(DownloadManagerTest, AStopRacingTheEndLeavesOneOutcome) {
  InstallFolder install;
  install.Write("a.txt", "a");
  const std::string list = Line("a.txt", "a") + Line("b.txt", "b");
  int completed = 0;
  // Stops from the start of a run of a few milliseconds to past its end, the last one after it.
  for (int i = 0; i <= 30; ++i) {
    std::filesystem::remove(install.Native("b.txt"));
    ScriptedServer server;
    server.SetReplies({Whole(list), Whole(PackageOf("b.txt", "b"))});
    ReportLog log;
    {
      DownloadManager manager;
      manager.SetProgressCallback(&ReportLog::Callback, &log);
      manager.Start(ListUrl(server), "null");
      if (i < 30) {
        std::this_thread::sleep_for(std::chrono::milliseconds(i));
      } else {
        manager.Wait(DownloadManager::kInfinite);
      }
      // Every third manager is destroyed while it may still run.
      if (i % 3 != 2) {
        manager.Stop();
        const int outcome = manager.Wait(0);
        const std::string last = log.Last().value_or(Report{}).text;
        if (outcome == DownloadManager::kCompleted) {
          ++completed;
          EXPECT_EQ(last, "完了.");
          EXPECT_EQ(install.Read("b.txt"), "b");
        } else {
          ASSERT_EQ(outcome, DownloadManager::kIdle);
          EXPECT_EQ(last, manager.GetErrorMessage());
          EXPECT_TRUE(last == kAbortByUser || last == kTaskAborted) << last;
        }
      }
    }
    // The run's end is reported before the manager is gone, whatever ended it.
    const std::string last = log.Last().value_or(Report{}).text;
    EXPECT_TRUE(last == "完了." || last == kAbortByUser || last == kTaskAborted) << i << last;
  }
  EXPECT_GT(completed, 0);
}

// A stop seen at a file's turn ends the run before the file counts, even when its digest made
// ahead is trusted (the file has settled).
TEST(UpdateRunTest, AStopAtAFilesTurnEndsTheRunBeforeItCounts) {
  ScriptedServer server;
  server.SetReplies(
      {Whole(Line("one.txt", "1") + Line("two.bin", "2")), Whole(PackageOf("two.bin", "2"))});
  InstallFolder install;
  install.Write("one.txt", "1");
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  HttpClient client;
  std::stop_source stop;
  const UpdateOutcome outcome =
      UpdateRun({.files = *Singleton<VarneFileManager>::GetInstance(),
                 .client = client,
                 .list_url = ListUrl(server),
                 .public_key = "",
                 .stop = stop.get_token(),
                 .report =
                     [&](int, int, const std::tstring& text, int, int) {
                       // Long enough for the digest made ahead to be ready.
                       std::this_thread::sleep_for(std::chrono::milliseconds(300));
                       if (text == "one.txt") stop.request_stop();
                     }})
          .Run();
  EXPECT_EQ(outcome.error, kTaskAborted);
  EXPECT_EQ(outcome.files_done, 0);
  EXPECT_EQ(server.GetRequests().size(), 1u);
}

}  // namespace
