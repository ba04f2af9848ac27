#include "update/download_window.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "net/http_client.h"
#include "site/site_names.h"
#include "storage/varne_file_manager.h"
#include "update/testing/engine_testing.h"
#include "update/update_run.h"

namespace update_testing {
namespace {

using net_testing::Reply;

enum class Server { kClosesAfterEachReply, kKeepsConnections, kStallsOneTransfer };

// A release of many small files, served by a scripted server of the given kind.
class Release {
 public:
  static constexpr int kFiles = 40;
  static constexpr int kStalled = 7;

  Release() {
    for (int i = 0; i < kFiles; ++i) {
      const std::string name = "d\\f" + std::to_string(i) + ".bin";
      const std::string bytes = PatternBytes(1000 + 997 * i, i + 1);
      files_[name] = bytes;
      list_ += "1::" + name + ":" + std::to_string(bytes.size()) + ":" + Md5Of(bytes) + "\r\n";
      const std::tstring url = PackageUrl("/list", name, std::to_string(bytes.size()));
      packages_[url] = {PackageOf(name, bytes), i == kStalled};
    }
  }

  void Serve(Server kind) {
    server_.SetHandler([this, kind](const std::string& request) {
      const std::string target = request.substr(4, request.find(' ', 4) - 4);
      const bool http11 = request.find(" HTTP/1.1\r\n") != std::string::npos;
      if (target == "/list") return Whole(list_);
      if (!packages_.contains(target)) return Reply{{"HTTP/1.0 404 Not Found\r\n\r\n"}};
      const auto& [body, stalls] = packages_.at(target);
      // A server that keeps connections answers in HTTP/1.1, and closes those of HTTP/1.0.
      const bool keeper = kind != Server::kClosesAfterEachReply, keep = keeper && http11;
      const std::string head = std::string(keeper ? "HTTP/1.1" : "HTTP/1.0") +
                               " 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                               (keep ? "" : "\r\nConnection: close") + "\r\n\r\n";
      if (stalls && kind == Server::kStallsOneTransfer) return SilentAfter(head);
      return Reply{{head + body}, 0, keep};
    });
  }

  UpdateOutcome Run() {
    VarneFileManager files;
    HttpClient client;
    return UpdateRun({.files = files,
                      .client = client,
                      .list_url = ListUrl(server_),
                      .public_key = {},
                      .stop = {},
                      .report = {},
                      .transfers = 8})
        .Run();
  }

  // Every listed file is old (here: absent) or new, and the one named is absent; with none named,
  // every file is new.
  void ExpectOldOrNew(const InstallFolder& install, const std::string& absent = {}) const {
    for (const auto& [name, bytes] : files_) {
      if (install.Exists(name)) {
        EXPECT_EQ(install.Read(name), bytes) << name;
      } else {
        EXPECT_FALSE(absent.empty()) << name;
      }
    }
    EXPECT_TRUE(absent.empty() || !install.Exists(absent)) << absent;
  }
  std::string StalledName() const { return "d\\f" + std::to_string(kStalled) + ".bin"; }
  int Connections() { return server_.GetConnectionCount(); }

 private:
  net_testing::ScriptedServer server_;
  std::map<std::string, std::string> files_;
  std::map<std::tstring, std::pair<std::string, bool>> packages_;
  std::string list_;
};

// Files fetched side by side from a server that closes after every reply, from one that keeps
// its connections (then a few connections carry them all), and from one that stalls one transfer
// of several: that run fails on the stalled file with every file old or new, and the next one
// completes.
TEST(DownloadWindowTest, ManyFilesSideBySideFromEveryKindOfServer) {
  Release release;
  {
    InstallFolder install;
    release.Serve(Server::kClosesAfterEachReply);
    const UpdateOutcome outcome = release.Run();
    ASSERT_TRUE(outcome.completed) << outcome.error;
    release.ExpectOldOrNew(install);
    // The list, the removed files' document and each file.
    EXPECT_EQ(release.Connections(), 2 + Release::kFiles);
  }
  {
    InstallFolder install;
    const int before = release.Connections();
    release.Serve(Server::kKeepsConnections);
    const UpdateOutcome outcome = release.Run();
    ASSERT_TRUE(outcome.completed) << outcome.error;
    release.ExpectOldOrNew(install);
    // The first eight ask as ever, before a reply has shown HTTP/1.1; the rest reuse connections.
    EXPECT_LE(release.Connections() - before, 2 + 8 + 8);
  }
  InstallFolder install;
  release.Serve(Server::kStallsOneTransfer);
  UpdateOutcome outcome = release.Run();
  EXPECT_FALSE(outcome.completed);
  EXPECT_NE(outcome.error.find("nothing received"), std::string::npos) << outcome.error;
  release.ExpectOldOrNew(install, release.StalledName());
  release.Serve(Server::kKeepsConnections);
  outcome = release.Run();
  ASSERT_TRUE(outcome.completed) << outcome.error;
  release.ExpectOldOrNew(install);
}

}  // namespace
}  // namespace update_testing
