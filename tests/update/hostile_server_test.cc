// The updater against servers that misbehave on purpose: silent at each stage of a run, dripping,
// announcing or sending more than the list allows; and varne-release serve at its thread limit.
// Every network limit of this program is cut to kLimitMs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <new>
#include <set>

#include "base/exception.h"
#include "engine_harness.h"
#include "net/http_client.h"
#include "net/testing/scripted_server.h"
#include "net/time_limits.h"
#include "platform/text.h"
#include "res/resource.h"
#include "ui/testing/bmp_file.h"
#include "ui/testing/recording_view.h"
#include "ui/varne_updater_dlg.h"

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

using net_testing::kSilent;
using net_testing::Reply;
using net_testing::ScriptedServer;
using ui_testing::RecordingView;
using Clock = std::chrono::steady_clock;

const std::string kErrorLead =
    "エラーが発生しました。\r\n少し時間をおいて、再度アップデートしてください。\r\n\r\n詳細:\r\n";

std::string Utf16(const std::string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : platform::AnsiToWide(text)) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

// The game's package with the dialog's settings, read as start-up reads it.
void InstallGamePackage(const InstallFolder& install, std::uint16_t port) {
  const std::string settings =
      "main_image=skin.bmp\r\nserverside_url=http://127.0.0.1:" + std::to_string(port) +
      "/list\r\n";
  install.Write("RV7.VPK", PackageOf({{"dlgconfig.conf", Utf16(settings)},
                                      {"skin.bmp", ui_testing::Bmp24(2, 1, {1, 1})}}));
  Singleton<VarneFileManager>::GetInstance()->ClearFileList();
  Singleton<VarneFileManager>::GetInstance()->ReadPackage(".\\RV7.vpk");
}

std::set<std::string> FilesIn(const InstallFolder& install) {
  std::set<std::string> names;
  for (const auto& item : std::filesystem::recursive_directory_iterator(install.GetPath())) {
    names.insert(item.path().lexically_relative(install.GetPath()).string());
  }
  return names;
}

std::string Answer(const std::string& body, bool announce = true) {
  return "HTTP/1.0 200 OK\r\n" +
         (announce ? "Content-Length: " + std::to_string(body.size()) + "\r\n" : "") + "\r\n" +
         body;
}

// The release of the stall cases: one small file, then one larger.
const std::string kTwo(100000, 't');
const std::string kList =
    "1::one.txt:3:" + Md5Of("one") + "\r\n1::two.bin:100000:" + Md5Of(kTwo) + "\r\n";

// A reply that sends `head` and then nothing until the server goes.
Reply SilentAfter(const std::string& head, const std::string& rest = "never sent") {
  return {{head, rest}, kSilent};
}

struct Stall {
  std::string stage;
  std::vector<Reply> replies;  // the list's, then one per package; empty: no connection is made
  // When the user quits, seen from the dialog's tick.
  std::function<bool(const RecordingView&, ScriptedServer&)> quit_now;
  std::string error;  // how the run ends without a quit
  std::set<std::string> left;
};

bool Requests(ScriptedServer& server, std::size_t count) {
  return server.GetRequests().size() >= count;
}

// The dialog shows the second file's transfer, with at least `bytes` of it received.
bool ShowsTwo(const RecordingView& view, int bytes) {
  const auto text = view.texts.find(IDC_TASK_EDIT);
  const auto bar = view.bars.find(IDC_TASK_PROGRESS);
  return text != view.texts.end() && text->second == "two.bin" &&
         (bytes == 0 || (bar != view.bars.end() && bar->second.position >= bytes));
}

std::vector<Stall> Stalls() {
  const std::string two = PackageOf("two.bin", kTwo);
  const std::string two_answer = Answer(two);
  Reply drip{{}, 1000};
  for (char byte : two_answer.substr(0, 40)) drip.pieces.emplace_back(1, byte);
  const Reply list = {{Answer(kList, false)}};
  const Reply one = {{Answer(PackageOf("one.txt", "one"))}};
  const std::string header_error = "HttpClient : header recv error : nothing received for 700 ms.";
  const std::set<std::string> nothing = {"RV7.VPK"}, first = {"RV7.VPK", "one.txt"};
  return {
      {"connecting",
       {},
       [](auto& view, auto&) { return view.ticks > 20; },
       "HttpClient : connect error : no connection within 700 ms.",
       nothing},
      {"before the status line",
       {SilentAfter("")},
       [](auto&, auto& server) { return Requests(server, 1); },
       header_error,
       nothing},
      {"inside the header",
       {SilentAfter("HTTP/1.0 200 OK\r\nContent-Le")},
       [](auto&, auto& server) { return Requests(server, 1); },
       header_error,
       nothing},
      {"between files",
       {list, one, SilentAfter("")},
       [](auto& view, auto&) { return ShowsTwo(view, 0); },
       header_error,
       first},
      {"inside the body",
       {list, one, SilentAfter(two_answer.substr(0, two_answer.size() / 2))},
       [](auto& view, auto&) { return ShowsTwo(view, 1); },
       "HttpClient : body recv error : nothing received for 700 ms.",
       first},
      {"dripping a byte a second",
       {list, one, drip},
       [](auto&, auto& server) { return Requests(server, 3); },
       header_error,
       first},
  };
}

// Runs the dialog against the stalled server; with quit, the user quits at the stage's moment.
// Gives how long the dialog took to end after the quit.
Clock::duration RunDialog(const Stall& stall, bool quit) {
  std::unique_ptr<net_testing::UnansweredListener> unanswered;
  std::unique_ptr<ScriptedServer> server = std::make_unique<ScriptedServer>();
  if (stall.replies.empty()) {
    unanswered = std::make_unique<net_testing::UnansweredListener>();
  } else {
    server->SetReplies(stall.replies);
  }
  InstallFolder install;
  InstallGamePackage(install, unanswered ? unanswered->GetPort() : server->GetPort());
  RecordingView view;
  CVarneUpdaterDlg dialog(view);
  Clock::time_point quit_at = Clock::time_point::max();
  if (quit) {
    view.on_tick = [&](IDialogEvents& events, int) {
      if (!stall.quit_now(view, *server)) return;
      quit_at = Clock::now();
      events.OnCommand(IDC_QUIT);
    };
  }
  dialog.DoModal();
  const Clock::duration taken = Clock::now() - quit_at;
  if (quit) {
    EXPECT_NE(quit_at, Clock::time_point::max()) << stall.stage << ": never quit";
    EXPECT_TRUE(view.boxes.empty()) << stall.stage;
  } else {
    EXPECT_EQ(
        view.boxes,
        (std::vector<std::pair<std::string, std::string>>{{"エラー", kErrorLead + stall.error}}))
        << stall.stage;
  }
  EXPECT_EQ(FilesIn(install), stall.left) << stall.stage << (quit ? ", quit" : "");
  return taken;
}

TEST(HostileServerTest, AStalledServerNeverHoldsTheRun) {
  for (const Stall& stall : Stalls()) {
    const Clock::duration quit_taken = RunDialog(stall, true);
    EXPECT_LT(quit_taken, std::chrono::seconds(1)) << stall.stage;
    RunDialog(stall, false);
  }
}

// A Stop that comes after a file was checked and before its transfer begins ends the run there,
// even when the server would never answer that transfer.
TEST(HostileServerTest, AStopBetweenTwoRequestsIsNotLost) {
  ScriptedServer server;
  server.SetReplies({{{Answer(kList)}}, {{Answer(PackageOf("one.txt", "one"))}}, SilentAfter("")});
  InstallFolder install;
  ReportLog log;
  std::atomic<bool> checking_two = false;
  log.on_report = [&](const Report& report) {
    if (report.text != "two.bin" || report.size != 0 || checking_two) return;
    checking_two = true;
    checking_two.notify_all();
    // Holds the worker between its two requests while the owner stops it.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  };
  DownloadManager manager;
  manager.SetProgressCallback(&ReportLog::Callback, &log);
  manager.Start("http://127.0.0.1:" + std::to_string(server.GetPort()) + "/list", "null");
  ASSERT_TRUE(Eventually([&] { return checking_two.load(); }, 10));
  manager.Stop();
  EXPECT_EQ(manager.GetErrorMessage(), "DownloadManager : Task Aborted.");
  EXPECT_EQ(server.GetRequests().size(), 2u);
  EXPECT_EQ(install.Read("one.txt"), "one");
}

TEST(HostileServerTest, NothingGrowsPastWhatTheListAllows) {
  struct Case {
    std::string list;  // the listed file is "日本.bin", installed as "old"
    Reply package_answer;
    std::string error;  // empty: the run completes
    std::size_t requests;
  };
  const std::string name = "日本.bin";
  const std::string package = PackageOf(name, "hello");
  const std::string line = "1::" + name + ":5:" + Md5Of("hello") + "\r\n";
  const std::string too_long = "DownloadManager : Package data exceed the listed size : " + name;
  const std::string lying = "HTTP/1.0 200 OK\r\nContent-Length: 4294967295\r\n\r\n";
  const Case cases[] = {
      {Answer(line), {{Answer(package)}}, "", 2},
      {Answer(line), {{Answer(package, false)}}, "", 2},
      // A server that holds the connection open after the whole package has sent all there is.
      {Answer(line), SilentAfter(Answer(package)), "", 2},
      {lying + line,
       {{Answer(package)}},
       "DownloadManager : List file error(Data size over 256 MiB).",
       1},
      {"HTTP/1.0 200 OK\r\nContent-Length: 200000000\r\n\r\n" + line,
       {{Answer(package)}},
       "HttpClient : Document data is shorter than the Content-Length.",
       1},
      {Answer(line), {{lying + package}}, too_long, 2},
      {Answer(line), {{Answer(package + "x", false)}}, too_long, 2},
      {Answer("1::" + name + ":4:" + Md5Of("hello") + "\r\n"), {{Answer(package)}}, too_long, 2},
      {Answer("1::" + name + ":5 :" + Md5Of("hello") + "\r\n"),
       {{Answer(package)}},
       "DownloadManager : List file error(orgsize is not a number) : " + name,
       1},
      // Only a file that must be downloaded needs its size.
      {Answer("1::" + name + ":?:" + Md5Of("old") + "\r\n"), {}, "", 1},
  };
  for (const Case& c : cases) {
    ScriptedServer server;
    server.SetReplies({{{c.list}}, c.package_answer});
    InstallFolder install;
    install.Write(name, "old");
    largest_allocation = 0;
    const Outcome outcome =
        RunUpdate("http://127.0.0.1:" + std::to_string(server.GetPort()) + "/list");
    EXPECT_LT(largest_allocation, std::size_t{16} << 20) << c.list;
    EXPECT_EQ(outcome.error, c.error) << c.list;
    EXPECT_EQ(server.GetRequests().size(), c.requests) << c.list;
    const bool replaced = c.error.empty() && c.requests == 2;
    EXPECT_EQ(install.Read(name), replaced ? "hello" : "old") << c.list;
    EXPECT_TRUE(install.TemporaryFiles().empty()) << c.list;
  }
}

// RLIMIT_NPROC does not bind root, so the server runs as a user of its own, whose thread limit
// is far below one thread per connection.
TEST(HostileServerTest, ServeKeepsServingAtItsThreadLimit) {
  TempFolder image("varne-image"), site("varne-site");
  WriteFile(image.GetPath() / "a.txt", "hello");
  const std::uint16_t port = net_testing::FindFreePort();
  BuildSite(image.GetPath(), site.GetPath(), port);
  const std::string user = std::to_string(40000 + port % 20000);
  const std::filesystem::path pid_file = site.GetPath().string() + ".pid";
  test_support::Run("timeout 120 setpriv --reuid=" + user + " --regid=" + user +
                    " --clear-groups prlimit --nproc=8 " + VARNE_BINARY_DIR +
                    "/bin/varne-release serve '" + site.GetPath().string() +
                    "' >/dev/null 2>&1 & echo $! >'" + pid_file.string() + "'");
  ASSERT_TRUE(WaitForPort(port));
  std::vector<platform::Socket> connections(260);
  for (platform::Socket& connection : connections) {
    ASSERT_TRUE(connection.Create() && connection.Connect(platform::kLoopbackAddress, port));
  }
  // Far beyond its workers and its queue, a connection is told so at once.
  char reply[32] = {};
  ASSERT_EQ(connections.back().WaitReadable(10000), platform::SocketWait::kReady);
  EXPECT_GT(connections.back().Receive(reply, sizeof reply - 1), 0);
  EXPECT_EQ(std::string(reply).substr(0, 12), "HTTP/1.0 503");
  connections.clear();
  HttpClient client;
  client.Request("http://127.0.0.1:" + std::to_string(port) + "/filelist");
  EXPECT_EQ(client.GetDataSize(), ReadFile(site.GetPath() / "filelist").size());
  std::system(("kill $(cat '" + pid_file.string() + "') 2>/dev/null").c_str());
}

}  // namespace
}  // namespace test_support
