// The updater against servers that misbehave on purpose: silent at each stage of a run until the
// time limit, announcing or sending more than the list allows, or sending lists and packages that
// do not match.
// Every network limit of this program is cut to kLimitMs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <optional>

#include "net/http_client.h"
#include "net/testing/range_recorder.h"
#include "net/testing/scripted_server.h"
#include "net/time_limits.h"
#include "site/site_names.h"
#include "support/engine_harness.h"

namespace {

constexpr int kLimitMs = 700;
[[maybe_unused]] const bool kLimitsCut =
    setenv(net_limits::kOverrideVariable, std::to_string(kLimitMs).c_str(), 1) == 0;

// The largest single allocation since the last reset. Past 1 GiB the test has failed already;
// refusing spares the machine the memory.
std::atomic<std::size_t> largest_allocation = 0;

}  // namespace

// GCC takes the replaced pair below for a mismatch of new and free once it inlines them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  if (size > (std::size_t{1} << 30)) throw std::bad_alloc();
  std::size_t seen = largest_allocation;
  while (size > seen && !largest_allocation.compare_exchange_weak(seen, size)) {
  }
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace test_support {
namespace {

using net_testing::Reply;
using net_testing::ScriptedServer;
using Clock = std::chrono::steady_clock;

TEST(HostileServerTest, AStalledServerNeverHoldsTheRun) {
  const std::string two_bytes(100000, 't');
  const std::string list =
      "1::one.txt:3:" + Md5Of("one") + "\r\n1::two.bin:100000:" + Md5Of(two_bytes) + "\r\n";
  const std::string half_of_two = Answer(PackageOf("two.bin", two_bytes)).substr(0, 50000);
  const Reply whole_list = Whole(list, false), one = Whole(PackageOf("one.txt", "one"));
  const struct {
    std::string stage;
    std::vector<Reply> replies;  // the list's, then one per package; none: no connection is made
    std::string error;
    bool one_installed;
  } stalls[] = {
      {"connecting", {}, "HttpClient : connect error : no connection within 700 ms.", false},
      {"inside the header",
       {SilentAfter("HTTP/1.0 200 OK\r\nContent-Le")},
       "HttpClient : header recv error : nothing received for 700 ms.",
       false},
      {"inside the body",
       {whole_list, Reply{{"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"}}, one,
        SilentAfter(half_of_two)},
       "HttpClient : body recv error : nothing received for 700 ms.",
       true},
  };
  for (const auto& stall : stalls) {
    ScriptedServer server;
    if (!stall.replies.empty()) server.SetReplies(stall.replies);
    std::optional<net_testing::UnansweredListener> unanswered;
    if (stall.replies.empty()) unanswered.emplace();
    const std::string url = "http://127.0.0.1:" +
                            std::to_string(unanswered ? unanswered->GetPort() : server.GetPort()) +
                            "/list";
    InstallFolder install;
    const auto started = Clock::now();
    EXPECT_EQ(RunInOrder(url).error, stall.error) << stall.stage;
    // The limit is applied, not only named: the run ends long before the default minute.
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(10)) << stall.stage;
    // Only finished files stay.
    const Snapshot finished = stall.one_installed ? Snapshot{{"one.txt", "one"}} : Snapshot{};
    EXPECT_EQ(Take(install.GetPath()), finished) << stall.stage;
  }
}

// A reply cut into pieces of `piece` bytes after its header, sent `pause_ms` apart.
Reply Dripped(const std::string& head, const std::string& body, std::size_t piece, int pause_ms) {
  Reply reply{{head}, pause_ms};
  for (std::size_t at = 0; at < body.size(); at += piece)
    reply.pieces.push_back(body.substr(at, piece));
  return reply;
}

// Bytes that keep coming, each well within the idle limit, never hold a request for longer than
// the rate window (its floor is 1 KiB/s), whether they drip into a document (the list comes by the
// same loop as a package) or a range; a link slow but above the floor delivers.
TEST(HostileServerTest, RepliesBelowTheRateFloorFail) {
  const std::string list = "1::a.bin:12000:" + Md5Of(std::string(12000, 'a')) + "\r\n";
  const std::string package = PackageOf("a.bin", std::string(12000, 'a'));
  const std::string head =
      "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(package.size()) + "\r\n\r\n";
  const std::string too_slow = "HttpClient : transfer too slow : under 1024 bytes/s for 700 ms.";
  // A byte, then a thousand (about ten times the floor, for well over a window), every 100 ms.
  for (const std::size_t piece : {1, 1000}) {
    ScriptedServer server;
    server.SetReplies({Whole(list), Dripped(head, package, piece, 100)});
    InstallFolder install;
    const auto started = Clock::now();
    EXPECT_EQ(RunUpdate(ListUrl(server)).error, piece == 1 ? too_slow : "") << piece;
    EXPECT_TRUE(piece != 1 || Clock::now() - started < std::chrono::seconds(3));
    EXPECT_EQ(install.Exists("a.bin"), piece != 1) << piece;
  }
  ScriptedServer server;
  server.SetReplies(
      {Dripped("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-99/100\r\n"
               "Content-Length: 100\r\n\r\n",
               std::string(100, 'r'), 1, 100)});
  HttpClient client;
  net_testing::RangeRecorder recorder;
  EXPECT_EQ(ErrorOf([&] { client.RequestRange(ListUrl(server), 0, 99, recorder); }), too_slow);
}

// One listed file, installed as "old", against lists and packages that do not hold what the list
// allows: a broken list fails before any download; nothing grows past the listed size; a package
// that is not the listed file is never installed. Each package is asked for by the path encoded
// twice, with the digest field as the User-Agent.
TEST(UpdateRunTest, OnlyWhatTheListAllowsIsInstalled) {
  const std::string name = "sub\\日本 b.bin";  // its UTF-16 name is longer than its UTF-8 one
  const std::string cut(69999, 'w');
  const auto package = [](const std::string& bytes) { return PackageOf("sub/日本 b.bin", bytes); };
  const auto upper = [](std::string digest) {
    for (char& digit : digest) digit = static_cast<char>(std::toupper(digit));
    return digest;
  };
  const auto list = [&](const std::string& size, const std::string& md5 = Md5Of("hello")) {
    return Answer("1::" + name + ":" + size + ":" + md5 + "\r\n");
  };
  const std::string too_long = "DownloadManager : Package data exceed the listed size : " + name;
  const std::string mismatch =
      "DownloadManager : Downloaded file does not match the list : " + name;
  const std::string lying = "HTTP/1.0 200 OK\r\nContent-Length: 4294967295\r\n\r\n";
  const std::string hello = package("hello");
  std::string many_lines;
  for (int i = 0; many_lines.size() < (3 << 20) / 2; ++i) {
    many_lines += "1::f" + std::to_string(i) + ":1:" + Md5Of("x") + "\r\n";
  }
  const struct {
    std::string list;
    Reply package;
    std::string error;      // empty: the run completes
    std::string installed;  // the file's bytes after the run
  } cases[] = {
      {list("5"), Whole(hello, false), "", "hello"},
      // A server that holds the connection open after the whole package has sent all there is.
      {list("5"), SilentAfter(Answer(hello)), "", "hello"},
      // The size field may mean anything: a byte beyond the package is the package's fault.
      {list("5"), Whole(hello + "x", false),
       "VarneFileSystem : Package File \"file0.dl\" file size error. : sub\\日本 b.bin : {package}",
       "old"},
      {list("5"), {{lying + hello}}, too_long, "old"},
      {lying + "1::a:1:x\r\n",
       {},
       "DownloadManager : List file error(Data size over 256 MiB).",
       "old"},
      {"HTTP/1.0 200 OK\r\nContent-Length: 200000000\r\n\r\n1::a:1:x\r\n",
       {},
       "HttpClient : Document data is shorter than the Content-Length.",
       "old"},
      {Answer(""), {}, "DownloadManager : List file error(Data size is zero).", "old"},
      // A size field that is no number, or no size, bounds the download by the fixed cap (2 GiB).
      {list("5 "), Whole(hello), "", "hello"},
      {list("70000", Md5Of(cut)), Whole(package(cut)), "", cut},
      {list("?"), {{lying + hello}}, too_long, "old"},
      // Only a file that must be downloaded needs its size.
      {list("?", Md5Of("old")), {}, "", "old"},
      // Digits in upper case are the same digest, for the installed file as for the package.
      {list("3", upper(Md5Of("old"))), {}, "", "old"},
      // Two names of one file with two digests, far enough apart to be parsed in different pieces
      // of the list.
      {Answer("1::Data/A.txt:1:x\r\n" + many_lines + "1::data\\a.TXT:1:y\r\n"),
       {},
       "DownloadManager : List file error(one file listed with two digests) : Data/A.txt, "
       "data\\a.TXT",
       "old"},
      {list("5", upper(Md5Of("hello"))), Whole(hello), "", "hello"},
      {list("5", upper(Md5Of("hullo"))), Whole(hello), mismatch, "old"},
  };
  for (const auto& c : cases) {
    ScriptedServer server;
    server.SetReplies({{{c.list}}, {{"HTTP/1.0 404 Not Found\r\n\r\n"}}, c.package});
    InstallFolder install;
    install.Write("sub/日本 b.bin", "old");
    largest_allocation = 0;
    const Outcome outcome = RunUpdate(ListUrl(server));
    EXPECT_LT(largest_allocation, std::size_t{16} << 20) << c.list;
    std::string error = c.error;  // a package the updater cannot read is named with its URL
    if (const std::size_t at = error.find("{package}"); at != std::string::npos) {
      error.replace(at, 9, PackageUrl(ListUrl(server), "sub\\日本 b.bin", "5"));
    }
    EXPECT_EQ(outcome.error, error) << c.list;
    EXPECT_EQ(Take(install.GetPath()), (Snapshot{{"sub/日本 b.bin", c.installed}})) << c.list;
    const auto requests = server.GetRequests();
    // A list read asks for the removed files' document too.
    const bool downloads = c.error.find("(") == std::string::npos && !c.package.pieces.empty();
    const bool list_read = downloads || c.error.empty();
    ASSERT_EQ(requests.size(), 1u + (list_read ? 1u : 0u) + (downloads ? 1u : 0u)) << c.list;
    EXPECT_TRUE(requests[0].starts_with("GET /list HTTP/1.0\r\n"));
    EXPECT_NE(requests[0].find("User-Agent: RovanSevenFileListClient\r\n"), std::string::npos);
    if (&c != &cases[0]) continue;
    EXPECT_TRUE(requests[2].starts_with("GET /list?file=" + EncodePathForQuery(name) +
                                        "&orgsize=5 HTTP/1.0\r\n"));
    EXPECT_NE(requests[2].find("User-Agent: " + Md5Of("hello") + "\r\n"), std::string::npos);
  }
}

}  // namespace
}  // namespace test_support
