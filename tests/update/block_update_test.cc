// The engine's block path against a release that varne-release built: a site answered from its
// files by a scripted server, so that a case can put what no real server sends in place of the
// package's range replies; cut runs and damaged files; signed block data that was tampered with.
#include "update/block_update.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <regex>

#include "site/testing/block_changes.h"
#include "support/engine_harness.h"

namespace test_support {
namespace {

namespace fs = std::filesystem;
using net_testing::Reply;

// Above the size from which files come by blocks.
constexpr std::size_t kFileSize = 2 << 20;

// A range request as the site server saw it.
struct Ask {
  bool package = false;
  std::uint64_t first = 0, last = 0;
};

// The package's header and record come first, its data after them.
bool IsDataRange(const Ask& ask) { return ask.package && ask.first > 200; }

// Answers from the site's files: ranges with 206, whole documents as HTTP/1.0. The server serves
// one connection at a time, so none is kept open. A fault may answer a package range request in its
// stead. Counts the package's bytes sent and its whole downloads.
class SiteServer {
 public:
  using Fault = std::function<std::optional<Reply>(const Ask&, const std::string& body)>;

  SiteServer(const fs::path& site, Fault fault = nullptr) : site_(site), fault_(std::move(fault)) {
    for (const auto& item : fs::recursive_directory_iterator(site / "packages")) {
      if (item.is_regular_file()) package_ = item.path();
    }
    server_.SetHandler([this](const std::string& request) { return Answer(request); });
  }
  std::string Url() const {
    return "http://127.0.0.1:" + std::to_string(server_.GetPort()) + "/filelist";
  }
  std::atomic<std::uint64_t> package_bytes = 0;
  std::atomic<int> whole_packages = 0;
  std::atomic<int> data_ranges = 0;

 private:
  Reply Answer(const std::string& request) {
    std::smatch match;
    // A client that gives up a connection before its request (a stopped range queue) sends none.
    if (!std::regex_search(request, match, std::regex("GET /([^ ?]*)(\\?)?"))) {
      return {{"HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n"}};
    }
    const bool package = match[2].matched;
    if (!package && !fs::exists(site_ / match[1].str())) {
      return {{"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"}};
    }
    const std::string bytes = ReadFile(package ? package_ : site_ / match[1].str());
    if (!std::regex_search(request, match, std::regex("Range: bytes=(\\d+)-(\\d+)"))) {
      whole_packages += package;
      package_bytes += package ? bytes.size() : 0;
      return {{"HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(bytes.size()) + "\r\n\r\n" +
               bytes}};
    }
    const Ask ask{package, std::stoull(match[1]), std::stoull(match[2])};
    const std::string body = bytes.substr(ask.first, ask.last - ask.first + 1);
    if (package) package_bytes += body.size();
    data_ranges += IsDataRange(ask);
    // A file that does not come by blocks comes as one range of its whole package.
    whole_packages += package && ask.first == 0 && ask.last + 1 == bytes.size();
    if (fault_) {
      if (std::optional<Reply> reply = fault_(ask, body)) return *reply;
    }
    return Partial(ask, body, bytes.size());
  }

 public:
  static Reply Partial(const Ask& ask, const std::string& body, std::uint64_t total) {
    return {{"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(ask.first) +
             "-" + std::to_string(ask.last) + "/" + std::to_string(total) + "\r\nContent-Length: " +
             std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body}};
  }

 private:
  fs::path site_, package_;
  Fault fault_;
  net_testing::ScriptedServer server_;
};

// A release of one 2 MiB file and its previous version: shifted data and a moved block.
struct Release {
  Release(const std::string& options = "") {
    std::mt19937_64 random(7);
    old_bytes = block_data::testing::RandomBytes(kFileSize, random);
    new_bytes =
        block_data::testing::Changed(old_bytes, block_data::testing::Change::kInsertOrDelete, 6, 11)
            .bytes;
    // A block the same as one far after it, which the search passes over before it finds it.
    constexpr std::size_t kBlock = block_data::kDefaultCoarseSize;
    new_bytes.replace(20 * kBlock, kBlock, new_bytes.substr(100 * kBlock, kBlock));
    image.Write("data/big.bin", new_bytes);
    BuildSite(image.GetPath(), site.GetPath(), 8080, options);
  }
  TempFolder image{"varne-image"}, site{"varne-site"};
  std::string old_bytes, new_bytes;
};

TEST(BlockUpdateTest, OnlyChangedBytesTravelAndEveryBadRangeReplyFallsBackToTheWholeFile) {
  const Release release;
  {
    SiteServer server(release.site.GetPath());
    InstallFolder install;
    install.Write("data/big.bin", release.old_bytes);
    const Outcome outcome = RunUpdate(server.Url());
    ASSERT_TRUE(outcome.completed) << outcome.error;
    EXPECT_EQ(install.Read("data/big.bin"), release.new_bytes);
    EXPECT_EQ(server.whole_packages, 0);
    EXPECT_LT(server.package_bytes, kFileSize / 10);
    // The task bar shows the bytes fetched against those needed, not against the file's size.
    EXPECT_LT(outcome.reports.back().size, kFileSize / 10);
  }
  const auto corrupt = [](std::string body) {
    body[body.size() / 2] ^= 1;
    return body;
  };
  const std::pair<const char*, SiteServer::Fault> faults[] = {
      {"Content-Range not the one asked",
       [](const Ask& ask, const std::string& body) -> std::optional<Reply> {
         if (!IsDataRange(ask)) return std::nullopt;
         return SiteServer::Partial({true, ask.first + 1, ask.last}, body.substr(1), kFileSize * 2);
       }},
      {"short body",
       [](const Ask& ask, const std::string& body) -> std::optional<Reply> {
         if (!IsDataRange(ask)) return std::nullopt;
         Reply reply = SiteServer::Partial(ask, body, kFileSize * 2);
         reply.pieces[0].resize(reply.pieces[0].size() - body.size() / 2);
         return reply;
       }},
      {"200 to a range",
       [](const Ask& ask, const std::string&) -> std::optional<Reply> {
         if (!IsDataRange(ask)) return std::nullopt;
         const std::string junk(kFileSize, 'j');
         return Reply{{"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(junk.size()) +
                       "\r\n\r\n" + junk}};
       }},
      {"wrong bytes in a right reply",
       [&](const Ask& ask, const std::string& body) -> std::optional<Reply> {
         if (!IsDataRange(ask)) return std::nullopt;
         return SiteServer::Partial(ask, corrupt(body), kFileSize * 2);
       }},
  };
  for (const auto& [name, fault] : faults) {
    SiteServer server(release.site.GetPath(), fault);
    InstallFolder install;
    install.Write("data/big.bin", release.old_bytes);
    const Outcome outcome = RunUpdate(server.Url());
    ASSERT_TRUE(outcome.completed) << name << ": " << outcome.error;
    EXPECT_EQ(install.Read("data/big.bin"), release.new_bytes) << name;
    EXPECT_EQ(server.whole_packages, 1) << name;
    // The part the block path made is of no use once the whole file is in place.
    EXPECT_FALSE(install.Exists("data/" + platform::ResumablePartName("big.bin"))) << name;
    // The block path ends at the first bad reply it takes (the requests side by side with it go
    // unused); wrong bytes are caught by their block.
    EXPECT_GE(server.data_ranges, 1) << name;
    EXPECT_LE(server.data_ranges, 2 * 16) << name;
  }
}

TEST(BlockUpdateTest, ACutRunResumesFromBlocksCheckedAgainAndADamagedFileIsRepaired) {
  const Release release;
  const std::string part = "data/" + platform::ResumablePartName("big.bin");
  InstallFolder install;
  {
    // Absent: every byte is fetched. The second MiB stalls before its last byte, and the run is
    // stopped once the part holds the first; the part keeps what came.
    SiteServer server(release.site.GetPath(), [](const Ask& ask, const std::string& body) {
      if (!IsDataRange(ask) || ask.first < kFileSize / 4) return std::optional<Reply>();
      Reply reply = SiteServer::Partial(ask, body, kFileSize * 2);
      std::string& whole = reply.pieces[0];
      reply.pieces = {whole.substr(0, whole.size() - 1), whole.substr(whole.size() - 1)};
      reply.pause_ms = net_testing::kSilent;
      return std::optional<Reply>(reply);
    });
    const Outcome cut = RunUpdate(server.Url(), [&](const Report&) {
      std::error_code error;
      return fs::file_size(install.GetPath() / part, error) < kFileSize / 4 || error;
    });
    ASSERT_FALSE(cut.completed);
    // What came after the last whole block handed to the disk is lost with the stop.
    ASSERT_GE(install.Read(part).size(), kFileSize / 4);
    EXPECT_FALSE(install.Exists("data/big.bin"));
  }
  // A byte of the kept part changed since (a disk, a crash): its block is fetched again.
  std::string kept = install.Read(part);
  kept[kept.size() - 40000] ^= 1;
  install.Write(part, kept);
  {
    SiteServer server(release.site.GetPath());
    const Outcome resumed = RunUpdate(server.Url());
    ASSERT_TRUE(resumed.completed) << resumed.error;
    EXPECT_EQ(install.Read("data/big.bin"), release.new_bytes);
    EXPECT_FALSE(install.Exists(part));
    EXPECT_EQ(server.whole_packages, 0);
    EXPECT_LE(server.package_bytes, release.new_bytes.size() - kept.size() + 80000);
  }
  {
    // Three damaged places of an installed file: only their blocks come again.
    std::string damaged = release.new_bytes;
    for (const std::size_t at : {1000u, 400000u, 1000000u}) damaged[at] ^= 0x55;
    install.Write("data/big.bin", damaged);
    SiteServer server(release.site.GetPath());
    const Outcome repaired = RunUpdate(server.Url());
    ASSERT_TRUE(repaired.completed) << repaired.error;
    EXPECT_EQ(install.Read("data/big.bin"), release.new_bytes);
    EXPECT_LE(server.package_bytes, 3 * 2 * block_data::kDefaultFineSize + 200);
  }
}

// A large file's block update starts before its digest is done: a changed file comes by blocks,
// a current one is left as it is (whether its digest or its search ends first), and without block
// data a changed file comes whole once its digest says it differs.
TEST(BlockUpdateTest, AFileStartedBeforeItsDigestEndsAsTheDigestSays) {
  const Release release;
  const std::string part = "data/" + platform::ResumablePartName("big.bin");
  const auto run = [&](const std::string& installed) {
    SiteServer server(release.site.GetPath());
    InstallFolder install;
    install.Write("data/big.bin", installed);
    const fs::path path = install.GetPath() / "data/big.bin";
    const auto written = fs::last_write_time(path) - std::chrono::hours(1);
    fs::last_write_time(path, written);
    const Outcome outcome = RunUpdate(server.Url(), nullptr, "", 16, kFileSize / 2);
    EXPECT_TRUE(outcome.completed) << outcome.error;
    EXPECT_EQ(install.Read("data/big.bin"), release.new_bytes);
    EXPECT_FALSE(install.Exists(part));
    // A current file is not written again.
    EXPECT_EQ(fs::last_write_time(path) == written, installed == release.new_bytes);
    return std::pair<int, int>(server.whole_packages, server.data_ranges);
  };
  std::string damaged = release.new_bytes;
  damaged[kFileSize / 2] ^= 1;
  // Another size, and the same size with one block changed.
  for (const std::string& installed : {release.old_bytes, damaged}) {
    const auto [whole, ranges] = run(installed);
    EXPECT_EQ(whole, 0);
    EXPECT_GT(ranges, 0);
  }
  EXPECT_EQ(run(release.new_bytes), std::pair(0, 0));
  fs::remove(release.site.GetPath() / "filelist.blocks");
  EXPECT_EQ(run(release.old_bytes), std::pair(1, 0));
  EXPECT_EQ(run(release.new_bytes), std::pair(0, 0));
}

// Under a key, block data is used while the signature beside it vouches for it: not once a byte of
// that signature changed (the index's digest), nor with a coarse document that is not the one its
// index names (a byte at the end of the file's).
TEST(BlockUpdateTest, SignedBlockDataIsUsedOnlyAsItsSignatureVouches) {
  TempFolder keys("varne-keys");
  const std::string key = (keys.GetPath() / "publisher.key").string();
  const ProcessResult made =
      RunIn(keys.GetPath(), Program("varne-release") + " keygen '" + key + "'");
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string public_key = made.out.substr(0, made.out.find('\n'));
  const Release release("--sign '" + key + "'");
  const fs::path site = release.site.GetPath();
  const std::string blocks = ReadFile(site / "filelist.blocks");
  const std::string signature = ReadFile(site / "filelist.blocks.sig");
  const std::pair<std::string, std::size_t> changes[] = {
      {"", 0},
      {"filelist.blocks.sig", signature.find("index ") + 6},
      {"filelist.blocks", blocks.size() - 5}};
  for (const auto& [name, at] : changes) {
    WriteFile(site / "filelist.blocks", blocks);
    WriteFile(site / "filelist.blocks.sig", signature);
    if (!name.empty()) {
      std::string changed = ReadFile(site / name);
      changed[at] ^= 1;
      WriteFile(site / name, changed);
    }
    SiteServer server(site);
    InstallFolder install;
    install.Write("data/big.bin", release.old_bytes);
    const Outcome outcome = RunUpdate(server.Url(), nullptr, public_key);
    ASSERT_TRUE(outcome.completed) << name << ": " << outcome.error;
    EXPECT_EQ(install.Read("data/big.bin"), release.new_bytes) << name;
    EXPECT_EQ(server.whole_packages, name.empty() ? 0 : 1) << name;
  }
}

}  // namespace
}  // namespace test_support
