#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <regex>
#include <thread>

#include "base/hex.h"
#include "demo_skin.h"
#include "net/testing/scripted_server.h"
#include "platform/file.h"
#include "platform/named_mutex.h"
#include "platform/path.h"
#include "site/block_index.h"
#include "site/mirror_list.h"
#include "site/removed_files.h"
#include "site/testing/block_changes.h"
#include "site/trust_root.h"
#include "support/engine_harness.h"
#include "support/local_servers.h"

namespace test_support {
namespace {

class ReleaseToolTest : public testing::Test {
 protected:
  void SetUp() override {
    Image("a.txt", "alpha");
    Image("data/日本.txt", "ゲーム");
    Image("data/sub/b.bin", std::string(5000, 'b'));
  }

  void Image(const std::string& name, const std::string& bytes) const {
    WriteFile(image_.GetPath() / name, bytes);
  }

  ProcessResult RunTool(const std::string& arguments) const {
    return RunIn(image_.GetPath(), Program("varne-release") + " " + arguments);
  }

  std::string Build(const std::string& options = "") const { return BuildInto(site_, options); }

  std::string BuildInto(const TempFolder& site, const std::string& options = "") const {
    const ProcessResult result = RunTool(BuildArguments(image_, site, options));
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out.substr(0, result.out.find('\n'));
  }

  // The tool's arguments that build `image` into `site` for the list at Url().
  std::string BuildArguments(const TempFolder& image, const TempFolder& site,
                             const std::string& options = "") const {
    return "build '" + image.GetPath().string() + "' '" + site.GetPath().string() +
           "' --listen 127.0.0.1:" + std::to_string(port_) + " --path /game/list " + options;
  }

  std::string Url(const std::string& query = "") const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/game/list" + query;
  }

  TempFolder image_{"varne-画像"};
  TempFolder site_{"varne-site"};
  std::uint16_t port_ = net_testing::FindFreePort();
};

// What the release before listed and a build does not goes into "filelist.removed", bound to the
// new list, and stays there for eight releases (a rebuild of the same list is no release); a path
// listed again in any letter case leaves it, and a signed build signs it.
TEST_F(ReleaseToolTest, RemovedFilesAreNamedForEightReleases) {
  const auto removed = [this](const KeySet* keys = nullptr) {
    const std::string list = ReadFile(site_.GetPath() / "filelist");
    const RemovedFiles read =
        ReadRemovedFiles(ReadFile(site_.GetPath() / "filelist.removed"), keys);
    EXPECT_EQ(read.list, (ListDigest{list.size(), platform::Sha256Of(list)}));
    std::map<std::string, unsigned> ages;
    for (const RemovedFile& file : read.files) ages[file.path] = file.age;
    return ages;
  };
  Build();
  EXPECT_TRUE(removed().empty());
  std::filesystem::remove(image_.GetPath() / "a.txt");
  std::filesystem::remove_all(image_.GetPath() / "data/sub");
  Build();
  Build();
  const std::map<std::string, unsigned> first = {{"a.txt", 0}, {"data\\sub\\b.bin", 0}};
  EXPECT_EQ(removed(), first);
  Image("data/Sub/B.BIN", "back again");
  for (int release = 1; release < 8; ++release) {
    Image("counter.txt", std::to_string(release));
    Build();
    EXPECT_EQ(removed(), (std::map<std::string, unsigned>{{"a.txt", release}})) << release;
  }
  TempFolder keys("varne-keys");
  const std::string key_file = (keys.GetPath() / "publisher.key").string();
  std::string public_key = RunTool("keygen '" + key_file + "'").out;
  public_key.pop_back();
  const KeySet key_set = ParseKeySet(public_key);
  Image("counter.txt", "last");
  Build("--sign '" + key_file + "'");
  EXPECT_TRUE(removed(&key_set).empty());
  std::filesystem::remove(image_.GetPath() / "counter.txt");
  Build("--sign '" + key_file + "'");
  EXPECT_EQ(removed(&key_set), (std::map<std::string, unsigned>{{"counter.txt", 0}}));
  EXPECT_EQ(ReadRemovedFiles(ReadFile(site_.GetPath() / "filelist.removed"), &key_set)
                .files.front()
                .sha256,
            platform::Sha256Of("last"));
}

// What each build lists and says: the packages written, kept and removed (the old release's stay
// for the players who read its list just before, until the next build), the files' changes since
// the release before, and what a player of that release fetches. A one-byte change inside a 16 KiB
// block of a large file costs its 512-byte fine block and the block's 32 fine records of 6 bytes.
TEST_F(ReleaseToolTest, BuildListsEveryFileAndSummarizesWhatChanged) {
  std::mt19937_64 random(7);
  std::string big = block_data::testing::RandomBytes(10 * 32768, random);
  Image("big.bin", big);
  // Its first line and the lines from "new packages" on.
  const auto summary = [this] {
    const ProcessResult result = RunTool(BuildArguments(image_, site_));
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out.substr(0, result.out.find('\n') + 1) +
           result.out.substr(result.out.find("new packages"));
  };
  const std::string first = summary();
  EXPECT_EQ(ReadFile(site_.GetPath() / "filelist"),
            "1::a.txt:5:" + Md5Of("alpha") + "\r\n" + "1::big.bin:327680:" + Md5Of(big) + "\r\n" +
                "1::data\\sub\\b.bin:5000:" + Md5Of(std::string(5000, 'b')) + "\r\n" +
                "1::data\\日本.txt:9:" + Md5Of("ゲーム") + "\r\n");
  const Snapshot before = Take(site_.GetPath() / "packages");
  std::uint64_t all = 0;
  for (const auto& [path, bytes] : before) all += bytes.size();
  EXPECT_EQ(first, "4 files, 332694 bytes: 4 packages written, 0 kept, 0 removed\nnew packages: " +
                       std::to_string(all) +
                       " bytes\nno release was published in the site folder before: every file "
                       "is new\n");
  Image("a.txt", "ALPHA!");
  big[5 * 32768 + 100] ^= 1;
  Image("big.bin", big);
  std::filesystem::remove_all(image_.GetPath() / "data/sub");
  Image("c.txt", "gamma");
  const std::string text = summary();
  const Snapshot after = Take(site_.GetPath() / "packages");
  std::uint64_t written = 0;
  for (const auto& [path, bytes] : after) {
    const auto old = before.find(path);
    if (old == before.end() || old->second != bytes) written += bytes.size();
  }
  EXPECT_EQ(text, "4 files, 327700 bytes: 3 packages written, 1 kept, 0 removed\nnew packages: " +
                      std::to_string(written) +
                      " bytes\n"
                      "since the release before: 1 added, 2 changed, 1 removed, 1 unchanged\n"
                      "removed files named for players to remove (the last 8 releases): 1\n"
                      // c.txt whole, a.txt whole (no block of it is left), 2048 + 96 of big.bin,
                      // of 6 + 9 + 327680 + 5 bytes.
                      "a player of the release before fetches 715 bytes, 0.2% of the release\n");
  EXPECT_EQ(after.size(), 6u);
  EXPECT_EQ(Build(), "4 files, 327700 bytes: 0 packages written, 4 kept, 2 removed");
  EXPECT_EQ(Take(site_.GetPath() / "packages").size(), 4u);
}

// What no release may publish, each refused with its reason before the site changes: names that
// players on Windows cannot install, names of the updater's own files, and nothing at all.
TEST_F(ReleaseToolTest, BuildRefusesImagesThatPlayersCannotInstall) {
  Build();
  const Snapshot site = Take(site_.GetPath());
  const std::string own = "the updater keeps its own files under this name: ";
  const std::pair<std::string, std::string> cases[] = {
      {"data/aux.log", "(a device name on Windows): data/aux.log"},
      {"rv7.STATE", own + "rv7.STATE"},
      {"File12.DL", own + "File12.DL"},
      {"data/.c.bin.4711-2.rv7new.tmp", own + "data/.c.bin.4711-2.rv7new.tmp"},
      {"data/.b.bin.4711-2.tmp", own + "data/.b.bin.4711-2.tmp"},
      {"data/.b.bin.part", own + "data/.b.bin.part"},
      {"", "no file to publish in "},
  };
  const TempFolder empty("varne-empty");
  for (const auto& [name, said] : cases) {
    if (!name.empty()) Image(name, "x");
    const ProcessResult result = RunTool(BuildArguments(name.empty() ? empty : image_, site_));
    EXPECT_EQ(result.status, 1) << name;
    EXPECT_NE(result.err.find(NativeSeparators(said)), std::string::npos) << result.err;
    EXPECT_EQ(Take(site_.GetPath()), site) << name;
    if (!name.empty()) std::filesystem::remove(image_.GetPath() / name);
  }
}

// The release's own package checked against the site it is built for: what would strand every
// player is refused with the site left as it was, what a server in front of the site could make
// right is a warning. Settings saved as UTF-8 read as UTF-16 ones do.
TEST_F(ReleaseToolTest, BuildChecksTheReleasesOwnPackage) {
  Image("game.exe", "#!/bin/sh\n");
  const TempFolder content("varne-package");
  const auto package = [&](const std::string& settings, bool skin) {
    std::filesystem::remove_all(content.GetPath());
    std::filesystem::create_directories(content.GetPath());
    if (!settings.empty()) content.Write("dlgconfig.conf", settings);
    content.Write(skin ? "skin.bmp" : "other.bmp", "BM");
    std::filesystem::remove(image_.GetPath() / "RV7.VPK");
    test_support::Run(Program("vpk") + " pack '" + content.GetPath().string() + "' '" +
                      (image_.GetPath() / "RV7.VPK").string() + "' >/dev/null");
  };
  const std::string url = "serverside_url=" + Url() + "\r\n";
  const std::string rest = "main_image=skin.bmp\r\nrunfilename=game.exe\r\n";
  const std::string other_port = "serverside_url=http://127.0.0.1:1/game/list\r\n";
  const std::string warning = "varne-release: warning: RV7.VPK's ";
  const struct {
    std::string settings;
    bool skin;
    int status;
    std::string said;  // on standard error; empty: nothing
  } rows[] = {
      {demo::Utf16LeFromAscii(url + rest), true, 0, ""},
      {"\xEF\xBB\xBF" + url + rest, true, 0, ""},
      {url + rest, true, 0, ""},
      {other_port + rest, true, 0,
       warning + "serverside_url \"http://127.0.0.1:1/game/list\" asks port 1"},
      {"serverside_url=http://example.com/list\r\n" + rest, true, 0, "asks for the path /list"},
      {url + rest, false, 0, warning + "main_image \"skin.bmp\" is neither in it nor in the image"},
      {url + "main_image=skin.bmp\r\nrunfilename=gone.exe\r\n", true, 0,
       warning + "runfilename \"gone.exe\" is not in the image"},
      {url + rest + "serverside_publickey=" + std::string(88, 'A') + "\r\n", true, 1,
       "but the build is unsigned"},
      {"\xFF\xFE" + url + rest, true, 1, "dlgconfig.conf reads as empty"},
      {"", true, 1, "RV7.VPK holds no dlgconfig.conf"},
  };
  for (const auto& row : rows) {
    package(row.settings, row.skin);
    const Snapshot before = Take(site_.GetPath());
    const ProcessResult result = RunTool(BuildArguments(image_, site_));
    EXPECT_EQ(result.status, row.status) << row.said << result.err;
    EXPECT_EQ(result.err.empty(), row.said.empty()) << result.err;
    EXPECT_NE(result.err.find(row.said), std::string::npos) << result.err;
    if (row.status != 0) {
      EXPECT_EQ(Take(site_.GetPath()), before) << row.said;
    }
  }
}

// Two builds of one site at once would each remove the packages of the other's list: while one
// writes the site, another is refused and changes nothing.
TEST_F(ReleaseToolTest, ASecondWriterOfASiteIsRefused) {
  if (OnWine()) GTEST_SKIP() << "a Windows program's named mutex is not this Linux test's";
  Build();
  const Snapshot site = Take(site_.GetPath());
  platform::NamedMutex writing;
  ASSERT_EQ(writing.Create("varne-release site " + platform::GetFullPath(platform::ToInternalPath(
                                                       site_.GetPath().string()))),
            platform::NamedMutex::kCreated);
  const ProcessResult refused = RunTool(BuildArguments(image_, site_));
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find(") is writing this site; run again when it has ended"),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(Take(site_.GetPath()), site);
  writing.Close();
  Build();
}

// Links that lead out of the image would publish that machine's files: build and pack refuse
// each, naming it, and change nothing; --follow-links publishes a file link on purpose. A link
// that stays inside is published as the file it leads to.
TEST_F(ReleaseToolTest, LinksThatLeaveTheImageAreRefusedByName) {
  if (OnWine()) GTEST_SKIP() << "under Wine a link reads as what it leads to";
  const TempFolder outside("varne-outside");
  WriteFile(outside.GetPath() / "secret.txt", "secret");
  std::filesystem::create_symlink("../a.txt", image_.GetPath() / "data" / "same.txt");
  Build();
  const Snapshot site = Take(site_.GetPath());
  EXPECT_NE(site.at("filelist").find("1::data\\same.txt:5:"), std::string::npos);
  const std::string out = outside.GetPath().filename().string();
  const std::pair<std::string, std::filesystem::path> cases[] = {
      {"data/secret.txt", outside.GetPath() / "secret.txt"},
      {"data/outside", outside.GetPath()},
      {"data/sub/relative.txt", "../../../" + out + "/secret.txt"},
  };
  for (const auto& [name, target] : cases) {
    std::filesystem::create_symlink(target, image_.GetPath() / name);
    const std::string said = "links lead outside the image: " + name;
    const ProcessResult built = RunTool(BuildArguments(image_, site_));
    EXPECT_EQ(built.status, 1) << name;
    EXPECT_NE(built.err.find(said), std::string::npos) << built.err;
    EXPECT_EQ(Take(site_.GetPath()), site) << name;
    const ProcessResult packed =
        RunIn(image_.GetPath(),
              Program("vpk") + " pack . '" + (site_.GetPath() / "p.vpk").string() + "'");
    EXPECT_NE(packed.status, 0) << name;
    EXPECT_NE(packed.err.find(said), std::string::npos) << packed.err;
    EXPECT_EQ(Take(site_.GetPath()), site) << name;
    std::filesystem::remove(image_.GetPath() / name);
  }
  std::filesystem::create_symlink(cases[0].second, image_.GetPath() / cases[0].first);
  Build("--follow-links");
}

TEST_F(ReleaseToolTest, SigningThatCannotBeDoneOrWouldLockPlayersOutChangesNothing) {
  TempFolder keys("varne-keys");
  const std::string key = "--sign '" + (keys.GetPath() / "publisher.key").string() + "'";
  RunTool("keygen '" + (keys.GetPath() / "publisher.key").string() + "'");
  Build(key);
  Image("a.txt", "alpha, longer");  // a build would write its package first
  const std::int64_t now = std::time(nullptr);
  const auto serial = [](std::uint64_t value) {
    return "varne-release-signature 1\nserial " + std::to_string(value) + "\n";
  };
  const std::string ahead = "is more than a day ahead of this machine's clock";
  const struct {
    std::string options;
    std::string signature;  // the site's, when not the last build's
    int status;
    std::string said;
  } cases[] = {
      {"--sign '" + (keys.GetPath() / "typo.key").string() + "'", "", 1, "cannot read "},
      {key + " --expires 367", "", 2, "--expires takes 1 to 366 days, with --sign"},
      {key + " --expires 30days", "", 2, "--expires takes 1 to 366 days"},
      {key, serial(UINT64_MAX), 1, "serial 18446744073709551615 " + ahead},
      {key, serial(now + 2 * 86400), 1, ahead},
  };
  const std::filesystem::path signature = site_.GetPath() / "filelist.sig";
  const std::string built = ReadFile(signature);
  for (const auto& c : cases) {
    if (!c.signature.empty()) WriteFile(signature, c.signature);
    const Snapshot site = Take(site_.GetPath());
    const ProcessResult result = RunTool(BuildArguments(image_, site_, c.options));
    EXPECT_EQ(result.status, c.status) << c.options;
    EXPECT_NE(result.err.find(c.said), std::string::npos) << result.err;
    EXPECT_EQ(Take(site_.GetPath()), site) << c.options;
    WriteFile(signature, built);
  }
  // A serial a little ahead, as two builds in one second make, still grows by one.
  WriteFile(signature, serial(now + 3600));
  Build(key);
  EXPECT_NE(ReadFile(signature).find("serial " + std::to_string(now + 3601) + "\n"),
            std::string::npos);
}

// The files a site had before block data, which a build without it must write alike: the list
// byte for byte, and the same packages (each write scrambles a package anew, so by name). Checks
// that the block documents are there or not.
Snapshot LegacyFiles(const std::filesystem::path& site, bool with_blocks) {
  Snapshot files = Take(site);
  for (const char* name : {"filelist.blocks", "filelist.fine"}) {
    EXPECT_EQ(files.erase(name), with_blocks ? 1u : 0u) << site << name;
  }
  files.erase("nginx-site.conf");   // names the site's own folder
  files.erase("filelist.removed");  // names what the site's earlier releases listed
  for (auto& [name, bytes] : files) {
    if (name.starts_with("packages/")) bytes.clear();
  }
  return files;
}

// Checks that a site's block data is bound to its list and describes each listed file of `image`.
void ExpectBlockDataMatches(const std::filesystem::path& site, const std::filesystem::path& image) {
  const std::string list = ReadFile(site / "filelist");
  const std::string blocks = ReadFile(site / "filelist.blocks");
  const std::string fine = ReadFile(site / "filelist.fine");
  const block_index::Index index = block_index::ParseIndex(blocks);
  EXPECT_EQ(index.list.size, list.size());
  EXPECT_EQ(index.list.sha256, platform::Sha256Of(list));
  const std::string names[] = {"a.txt", "c.txt", "data/sub/b.bin", "data/日本.txt"};  // list order
  std::size_t entry = 0;
  for (const std::string& name : names) {
    if (!std::filesystem::exists(image / name)) continue;
    ASSERT_LT(entry, index.entries.size());
    const block_index::Entry& blocks_of = index.entries[entry++];
    const std::string bytes = ReadFile(image / name);
    EXPECT_EQ(MD5Context::ToText(blocks_of.md5), Md5Of(bytes)) << name;
    const block_data::BlockDocuments expected = block_data::testing::DocumentsOf(bytes);
    EXPECT_EQ(blocks.substr(blocks_of.coarse_offset, blocks_of.coarse_size), expected.coarse);
    EXPECT_EQ(platform::Sha256Of(expected.coarse), blocks_of.coarse_sha256) << name;
    EXPECT_EQ(fine.substr(blocks_of.fine_offset, blocks_of.fine_size), expected.fine) << name;
  }
  EXPECT_EQ(entry, index.entries.size());
}

TEST_F(ReleaseToolTest, BlockDataMatchesTheListAndLeavesTheRestOfTheSiteAsItWas) {
  Build();
  ExpectBlockDataMatches(site_.GetPath(), image_.GetPath());
  TempFolder plain("varne-plain");
  BuildInto(plain, "--no-blocks");
  EXPECT_EQ(LegacyFiles(plain.GetPath(), false), LegacyFiles(site_.GetPath(), true));

  // A rebuild writes what a build from scratch writes: for a file unchanged (a.txt), one changed
  // at the same size (b.bin), one gone and one new, large enough for a second thread.
  Image("data/sub/b.bin", std::string(4999, 'b') + "B");
  Image("c.txt", std::string(5 << 20, 'z'));
  std::filesystem::remove(image_.GetPath() / "data/日本.txt");
  Build();
  TempFolder fresh("varne-fresh");
  BuildInto(fresh);
  for (const char* name : {"filelist.blocks", "filelist.fine"}) {
    EXPECT_EQ(ReadFile(site_.GetPath() / name), ReadFile(fresh.GetPath() / name)) << name;
  }
  ExpectBlockDataMatches(site_.GetPath(), image_.GetPath());

  // Documents planted in the site folder, bound to its list and to each file's size and MD5 but
  // describing other bytes, are never signed: a signed build makes every document it signs.
  const std::string list = ReadFile(site_.GetPath() / "filelist");
  std::vector<block_index::FileBlocks> lies;
  for (const char* name : {"a.txt", "c.txt", "data/sub/b.bin"}) {
    const std::string bytes = ReadFile(image_.GetPath() / name);
    lies.push_back({block_data::testing::DocumentsOf(std::string(bytes.size(), '?')), {}});
    DecodeHex(Md5Of(bytes), lies.back().md5);
  }
  const block_index::BlockFiles planted =
      block_index::MakeBlockFiles({list.size(), platform::Sha256Of(list)}, lies);
  WriteFile(site_.GetPath() / "filelist.blocks", planted.blocks);
  WriteFile(site_.GetPath() / "filelist.fine", planted.fine);
  const TempFolder keys("varne-keys");
  const std::string key = (keys.GetPath() / "publisher.key").string();
  RunTool("keygen '" + key + "'");
  Build("--sign '" + key + "'");
  ExpectBlockDataMatches(site_.GetPath(), image_.GetPath());

  // Without block data, a rebuild leaves none behind.
  Build("--no-blocks");
  EXPECT_EQ(LegacyFiles(site_.GetPath(), false), LegacyFiles(fresh.GetPath(), true));
}

TEST_F(ReleaseToolTest, ServersAnswerOnlyTheUpdatersUrls) {
  // Signed, so that both servers must also hand out the block signature beside the list; the key
  // that verifies it comes second, as the new key of a rotation does.
  TempFolder keys("varne-keys");
  const std::string key_file = (keys.GetPath() / "publisher.key").string();
  const std::string old_key = (keys.GetPath() / "old.key").string();
  std::string public_key = RunTool("keygen '" + key_file + "'").out;
  public_key.pop_back();
  RunTool("keygen '" + old_key + "'");
  Build("--sign '" + old_key + "' --sign '" + key_file + "'");
  block_index::VerifyBlocks(ReadFile(site_.GetPath() / "filelist.blocks.sig"),
                            ParseKeySet(public_key));
  const std::string a_txt = "%25%36%31%25%32%45%25%37%34%25%37%38%25%37%34";  // encoded twice
  const std::string hostile[] = {
      "?file=%25%32%45%25%32%45%25%35%43%25%36%31&orgsize=1",  // ..\a
      "?file=..%2F..%2Fetc%2Fpasswd&orgsize=1",
      "?file=%25%36%31&orgsize=1",  // not listed
      "?other=1",
  };
  // A Windows build writes an nginx configuration for nginx on Windows, with Windows paths.
  for (int server = OnWine() ? 1 : 0; server < 2; ++server) {
    std::optional<Nginx> nginx;
    std::optional<ReleaseServer> own;
    if (server == 0) nginx.emplace(port_, site_.GetPath() / "nginx-site.conf");
    if (server == 1) own.emplace(site_.GetPath(), port_);
    const ProcessResult check = RunTool("check " + Url());
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.out + check.err, "3 files, 5014 bytes\n");
    // varne-fetch writes what it fetched, and on a refusal exits 1 and leaves no file.
    TempFolder out("varne-fetched");
    const auto fetch = [&](const std::string& query, const std::string& name) {
      return RunIn(out.GetPath(), Program("varne-fetch") + " '" + Url(query) + "' -o " + name)
          .status;
    };
    ASSERT_EQ(fetch("?file=" + a_txt + "&orgsize=5", "got"), 0) << server;
    EXPECT_EQ(ReadFile(out.GetPath() / "got"),
              ReadFile(site_.GetPath() / "packages" / a_txt / "5.vpk"));
    for (const char* suffix : {".blocks", ".fine", ".blocks.sig"}) {
      ASSERT_EQ(fetch(suffix, "got"), 0) << server << suffix;
      EXPECT_EQ(ReadFile(out.GetPath() / "got"),
                ReadFile(site_.GetPath() / ("filelist" + std::string(suffix))));
    }
    for (const std::string& query : hostile) {
      EXPECT_EQ(fetch(query, "refused"), 1) << server << query;
      EXPECT_FALSE(std::filesystem::exists(out.GetPath() / "refused")) << server << query;
    }
  }
  // A document cut short: what was written of it is removed, under a Japanese name too.
  net_testing::ScriptedServer cut;
  cut.SetReplies({{{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part"}}});
  TempFolder out("varne-fetched");
  EXPECT_EQ(
      RunIn(out.GetPath(), Program("varne-fetch") + " " + ListUrl(cut) + " -o 一部.txt").status, 1);
  EXPECT_TRUE(Take(out.GetPath()).empty());
  const ProcessResult missing =
      RunTool("check http://127.0.0.1:" + std::to_string(port_) + "/none");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("HttpClient : "), std::string::npos) << missing.err;
  // The bare code of the failure is said in words after the message.
  const std::string refused = "\n  that is: nothing listens at that address and port\n";
  EXPECT_TRUE(missing.err.ends_with(refused)) << missing.err;
  EXPECT_TRUE(RunIn(out.GetPath(), Program("varne-fetch") + " " + Url()).err.ends_with(refused));
  EXPECT_EQ(RunTool("build only-one-argument").status, 2);
}

// A 2-of-3 root signs the releases built with two of its keys; the daily timestamp is signed again
// alone; a rotation needs the old root's keys, starts the serials over from the clock (how a
// runaway serial is recovered from), and installs that hold the first keys follow it. A release
// whose RV7.VPK names other keys than the root's is refused. Nothing refused changes the site.
TEST_F(ReleaseToolTest, TrustRootsSignReleasesAndRotate) {
  TempFolder keys("varne-keys");
  const auto key = [&](const char* name) {
    return " '" + (keys.GetPath() / (std::string(name) + ".key")).string() + "'";
  };
  for (const char* name : {"a", "b", "c", "t", "n"}) RunTool("keygen" + key(name));
  const std::string site = " '" + site_.GetPath().string() + "'";
  const std::string stamp = " --timestamp-key" + key("t");
  // The value for dlgconfig.conf that the root command prints last.
  const auto root = [&](const std::string& options) {
    const ProcessResult made = RunTool("root" + site + " --game demo" + stamp + options);
    EXPECT_EQ(made.status, 0) << made.err;
    const std::size_t at = made.out.rfind("serverside_publickey=");
    return at == std::string::npos ? "" : made.out.substr(at + 21, made.out.size() - at - 22);
  };
  const auto refused = [&](const std::string& arguments, const std::string& said) {
    const Snapshot before = Take(site_.GetPath());
    const ProcessResult result = RunTool(arguments);
    EXPECT_EQ(result.status, 1) << arguments;
    EXPECT_NE(result.err.find(said), std::string::npos) << result.err;
    EXPECT_EQ(Take(site_.GetPath()), before) << arguments;
  };
  const auto check = [&](const std::string& public_key) {
    const ProcessResult checked = RunTool("check " + Url() + " --public-key " + public_key);
    EXPECT_EQ(checked.status, 0) << public_key << checked.err;
  };

  // Players configured with the key that signed the site so far cannot follow a first root of
  // other keys.
  const std::string three =
      " --threshold 2 --key" + key("a") + " --key" + key("b") + " --key" + key("c");
  Build("--sign" + key("n"));
  refused("root" + site + " --game demo" + stamp + three,
          "the site's release is signed by keys that this first root does not hold");
  std::filesystem::remove(site_.GetPath() / "filelist.sig");
  const std::string first = root(three);
  refused(BuildArguments(image_, site_, "--sign" + key("a") + stamp),
          "the --sign keys are 1 of the keys of root 1; its releases need 2");
  refused(
      BuildArguments(image_, site_,
                     "--sign" + key("a") + " --sign" + key("c") + " --timestamp-key" + key("a")),
      "not the timestamp key of root 1");
  Build("--sign" + key("a") + " --sign" + key("c") + stamp);
  std::optional<ReleaseServer> server(std::in_place, site_.GetPath(), port_);

  Snapshot before = Take(site_.GetPath());
  ASSERT_EQ(RunTool("timestamp" + site + stamp + " --hours 2").status, 0);
  Snapshot after = Take(site_.GetPath());
  EXPECT_NEAR(ReadTimestamp(after["filelist.timestamp"]).value().expires - std::time(nullptr), 7200,
              60);
  before.erase("filelist.timestamp");
  after.erase("filelist.timestamp");
  EXPECT_EQ(after, before);
  check(first);

  // A serial published a week ahead, which no build may follow, is left behind by a rotation.
  const std::filesystem::path signature = site_.GetPath() / "filelist.sig";
  refused("root" + site + " --game demo" + stamp + " --key" + key("n"),
          "root 2 needs the signatures of 2 keys of root 1");
  // Keys that overlap the old ones enough to sign for them change the root only with --sign.
  refused("root" + site + " --game demo" + stamp + " --threshold 2 --key" + key("a") + " --key" +
              key("b") + " --key" + key("n"),
          "root 2 needs the signatures of 2 keys of root 1");
  // The next root waits unseen, however often it is asked for, while players update and the
  // timestamp is renewed under the root they follow.
  const std::string rotate = " --key" + key("n") + " --sign" + key("a") + " --sign" + key("b");
  const std::string roots = ReadFile(site_.GetPath() / "filelist.roots");
  const std::string second = root(rotate);
  EXPECT_EQ(root(rotate), second);
  EXPECT_EQ(ReadFile(site_.GetPath() / "filelist.roots"), roots);
  const auto status = [&] { return RunTool("status" + site).out; };
  EXPECT_NE(status().find("\npending root: version 2, 1 of 1 keys, game demo, not published yet"),
            std::string::npos)
      << status();
  ASSERT_EQ(RunTool("timestamp" + site + stamp).status, 0);
  check(first);
  WriteFile(signature, "varne-release-signature 1\nserial " +
                           std::to_string(std::time(nullptr) + 7 * 86400) + "\n");

  // The game package names the keys that the install trusts after the update: the rotation's
  // build writes them into it.
  const TempFolder content("varne-package");
  const auto package = [&](const std::string& public_key) {
    content.Write("dlgconfig.conf",
                  demo::Utf16LeFromAscii("serverside_publickey=" + public_key + "\r\n"));
    std::filesystem::remove(image_.GetPath() / "RV7.VPK");
    test_support::Run(Program("vpk") + " pack '" + content.GetPath().string() + "' '" +
                      (image_.GetPath() / "RV7.VPK").string() + "' >/dev/null");
  };
  package(first);
  refused(BuildArguments(image_, site_, "--sign" + key("n") + stamp),
          "new keys need a root rotation first (varne-release root)");
  const std::int64_t clock = std::time(nullptr);
  Build("--sign" + key("n") + stamp + " --write-keys");
  const std::string serial = ReadFile(signature).substr(33);
  EXPECT_NEAR(std::stoll(serial), clock, 5);
  EXPECT_EQ(status().find("pending"), std::string::npos) << status();
  server.reset();
  if (!OnWine()) {  // nginx hands out the roots and the timestamp alike
    const Nginx nginx(port_, site_.GetPath() / "nginx-site.conf");
    check(first);
  }
}

// check asks for the start of every package, as players will, and names each one they could not
// take: one missing, one of another file, and all of them from a plain nginx that answers every
// package URL with the list, whose players' updaters then name the file and its URL.
TEST_F(ReleaseToolTest, CheckNamesEveryPackagePlayersCannotFetch) {
  Build();
  std::optional<ReleaseServer> server(std::in_place, site_.GetPath(), port_);
  ProcessResult check = RunTool("check " + Url() + " --deep");
  EXPECT_EQ(check.out, "3 files, 5014 bytes\nevery file matches its list line\n") << check.err;
  const std::filesystem::path packages = site_.GetPath() / "packages";
  const std::string a_txt = "%25%36%31%25%32%45%25%37%34%25%37%38%25%37%34";
  std::filesystem::copy_file(packages / a_txt / "5.vpk", site_.GetPath() / "a.vpk");
  std::filesystem::remove(packages / a_txt / "5.vpk");
  for (const auto& item : std::filesystem::recursive_directory_iterator(packages)) {
    if (item.path().filename() == "5000.vpk") {
      std::filesystem::copy_file(site_.GetPath() / "a.vpk", item.path(),
                                 std::filesystem::copy_options::overwrite_existing);
    }
  }
  check = RunTool("check " + Url() + " --quiet");
  EXPECT_EQ(check.status, 1);
  const std::string missing = "players cannot fetch a.txt: ";
  EXPECT_NE(check.err.find(missing), std::string::npos) << check.err;
  EXPECT_NE(check.err.find("(" + Url("?file=" + a_txt + "&orgsize=5") + ")"), std::string::npos);
  EXPECT_NE(check.err.find("players cannot fetch data\\sub\\b.bin: not the package of its list "
                           "line (5000 bytes, MD5 " +
                           Md5Of(std::string(5000, 'b')) + ")"),
            std::string::npos)
      << check.err;
  EXPECT_NE(check.err.find("2 of 3 packages cannot be fetched as listed"), std::string::npos);
  server.reset();
  if (OnWine()) return;
  const std::filesystem::path conf = site_.GetPath() / "plain.conf";
  WriteFile(conf, "server {\n  listen 127.0.0.1:" + std::to_string(port_) +
                      ";\n  location = /game/list { alias " +
                      (site_.GetPath() / "filelist").string() + "; }\n}\n");
  const Nginx nginx(port_, conf);
  check = RunTool("check " + Url() + " --quiet");
  EXPECT_EQ(check.status, 1);
  EXPECT_NE(check.err.find("3 of 3 packages cannot be fetched"), std::string::npos) << check.err;
  const InstallFolder install;
  const Outcome outcome = RunUpdate(Url());
  EXPECT_NE(
      outcome.error.find("file readin error. : a.txt : " + Url("?file=" + a_txt + "&orgsize=5")),
      std::string::npos)
      << outcome.error;
}

// An expiry is said before players meet it: build prints the dates, the daily timestamp job warns
// a week ahead even when quiet and fails once the release has expired, and status judges a site
// (folder or URL) as players would, now and within 7 days.
TEST_F(ReleaseToolTest, ExpiriesAreSaidBeforePlayersMeetThem) {
  TempFolder keys("varne-keys");
  const auto key = [&](const char* name) { return (keys.GetPath() / name).string(); };
  for (const char* name : {"a.key", "t.key"}) RunTool("keygen '" + key(name) + "'");
  const std::string site = " '" + site_.GetPath().string() + "'";
  const std::string sign = "--sign '" + key("a.key") + "' --timestamp-key '" + key("t.key") + "'";
  ASSERT_EQ(RunTool("root" + site + " --game demo --key '" + key("a.key") + "' --timestamp-key '" +
                    key("t.key") + "'")
                .status,
            0);
  const ProcessResult built = RunTool(BuildArguments(image_, site_, sign + " --expires 3"));
  ASSERT_EQ(built.status, 0) << built.err;
  const std::int64_t now = std::time(nullptr);
  const std::string expires = UtcText(now + 3 * 86400).substr(0, 13);  // to the hour
  EXPECT_NE(built.out.find(", expires " + expires), std::string::npos) << built.out;
  EXPECT_NE(built.out.find("timestamp: root 1, expires " + UtcText(now + 86400).substr(0, 13)),
            std::string::npos)
      << built.out;
  const ReleaseServer server(site_.GetPath(), port_);
  const std::string timestamp = "timestamp" + site + " --timestamp-key '" + key("t.key") + "'";
  const struct {
    std::int64_t release_life;  // re-signed with this life; 0: as built
    int timestamp_status;
    int status;
    std::string said;
  } rows[] = {
      {0, 0, 1, "players refuse the site within 7 days: the release expires " + expires},
      {30 * 86400, 0, 0, "players accept the site"},
      // The timestamp still names the release before, which is what players meet first.
      {-60, 1, 1, "(past)\nroot: version 1"},
  };
  for (const auto& row : rows) {
    if (row.release_life != 0) {
      ReleaseSignature release = ReadRelease(ReadFile(site_.GetPath() / "filelist.sig")).value();
      release.expires = std::time(nullptr) + row.release_life;
      WriteFile(site_.GetPath() / "filelist.sig",
                SignRelease(release, {ReadFile(keys.GetPath() / "a.key")}));
    }
    const ProcessResult renewed = RunTool(timestamp + " --quiet");
    EXPECT_EQ(renewed.status, row.timestamp_status) << renewed.err;
    const bool warned =
        renewed.err.find("warning: the site's release expires") != std::string::npos;
    EXPECT_EQ(warned, row.release_life == 0) << renewed.err;
    if (row.timestamp_status != 0) {
      EXPECT_NE(renewed.err.find("the site's release expired"), std::string::npos) << renewed.err;
    }
    for (const std::string& where : {site, " " + Url()}) {
      const ProcessResult status = RunTool("status" + where);
      EXPECT_EQ(status.status, row.status) << where << status.out << status.err;
      EXPECT_NE((status.out + status.err).find(row.said), std::string::npos)
          << where << status.out << status.err;
      EXPECT_NE(status.out.find("root: version 1, 1 of 1 keys, game demo\ntimestamp: root 1, "
                                "expires "),
                std::string::npos)
          << status.out;
    }
  }
}

// Copies of a site (mirrors) said apart, each on its own port: a good one, one of the release
// before, one that lacks a package, and a port where nothing listens. status judges releases only
// and wants the newest everywhere; check also wants every package, and the first copy's release.
TEST_F(ReleaseToolTest, CopiesOfTheSiteAreJudgedOneByOne) {
  const TempFolder keys("varne-keys"), older("varne-older"), lacking("varne-lacking");
  const std::string key = "--sign '" + (keys.GetPath() / "publisher.key").string() + "'";
  RunTool("keygen '" + (keys.GetPath() / "publisher.key").string() + "'");
  Build(key);
  std::filesystem::copy(site_.GetPath(), older.GetPath(), std::filesystem::copy_options::recursive);
  Image("a.txt", "alpha, newer");
  Build(key);
  std::filesystem::copy(site_.GetPath(), lacking.GetPath(),
                        std::filesystem::copy_options::recursive);
  for (const auto& item : std::filesystem::recursive_directory_iterator(lacking.GetPath())) {
    if (item.path().filename() == "5000.vpk") std::filesystem::remove(item.path());
  }
  const ReleaseServer good(site_.GetPath(), port_);
  std::vector<std::unique_ptr<Background>> copies;
  std::string urls[] = {Url(), "", "", ""};
  for (int i : {1, 2, 3}) {
    const std::uint16_t port = net_testing::FindFreePort();
    urls[i] = "http://127.0.0.1:" + std::to_string(port) + "/game/list";
    if (i == 3) break;  // nothing listens there
    copies.push_back(std::make_unique<Background>(
        (i == 1 ? older : lacking).GetPath(),
        Program("varne-release") + " serve . --listen 127.0.0.1:" + std::to_string(port)));
    ASSERT_TRUE(WaitForPort(port));
  }
  const auto run = [&](const std::string& command, std::initializer_list<int> which) {
    std::string arguments = command;
    for (int i : which) arguments += " " + urls[i];
    return RunTool(arguments);
  };
  const auto said = [](const ProcessResult& result, const std::string& line) {
    return (result.out + result.err).find(line) != std::string::npos;
  };
  const auto older_line = [](const std::string& rest) {
    return std::regex(
        "copy 2: an older release than copy 1 \\(serial \\d+, list [0-9a-f]{12} "
        "against serial \\d+, list [0-9a-f]{12}\\)" +
        rest);
  };
  ProcessResult result = run("status", {0, 1, 2, 3});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(std::regex_search(result.out, older_line("\n"))) << result.out;
  EXPECT_TRUE(said(result, "copy 3: the same release as copy 1\n")) << result.out;
  EXPECT_TRUE(said(result, "copy 4: unreachable: HttpClient : ")) << result.err;
  EXPECT_TRUE(said(result, "copy 2: not the newest release seen, copy 1's (serial ")) << result.err;
  // The first copy read is the one compared with, and is wrong itself when another is newer.
  result = run("status --quiet", {1, 0});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(said(result, "copy 1: not the newest release seen, copy 2's")) << result.err;
  EXPECT_EQ(run("status", {0, 2}).status, 0);

  result = run("check", {0, 1, 2, 3});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(said(result,
                   "copy 1: the release the other copies are compared with; players can "
                   "fetch every package\n"))
      << result.out;
  EXPECT_TRUE(std::regex_search(result.err, older_line("; players can fetch every package\n")))
      << result.err;
  EXPECT_TRUE(said(result, "players cannot fetch data\\sub\\b.bin: ")) << result.err;
  EXPECT_TRUE(said(result, "(" + urls[2] + "?file=")) << result.err;
  EXPECT_TRUE(said(result,
                   "copy 3: the same release as copy 1; 1 of 3 packages cannot be fetched "
                   "as listed\n"))
      << result.err;
  EXPECT_TRUE(said(result, "copy 4: unreachable: HttpClient : ")) << result.err;
  result = run("check", {0, 0});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_TRUE(
      said(result, "copy 2: the same release as copy 1; players can fetch every package\n"));
}

// The copies a signed site names: signed with the release's keys for its list, named again by later
// signed builds until told otherwise, and refused where players could not trust them.
TEST_F(ReleaseToolTest, SignedSitesNameTheirCopies) {
  const TempFolder keys("varne-keys");
  const std::string key_file = (keys.GetPath() / "publisher.key").string();
  const std::string keygen = RunTool("keygen '" + key_file + "'").out;
  const std::string sign = "--sign '" + key_file + "' ";
  const std::vector<std::string> copies = {"http://cdn.example/list", "http://127.0.0.2:81/l"};
  const std::filesystem::path document = site_.GetPath() / "filelist.mirrors";
  const auto named = [&] {  // as a keyed install verifies them
    const std::string list = ReadFile(site_.GetPath() / "filelist");
    return VerifyMirrorList(ReadFile(document), ParseKeySet(keygen.substr(0, keygen.find('\n'))),
                            ListDigest{list.size(), platform::Sha256Of(list)});
  };
  Build(sign + "--mirror " + copies[0] + " --mirror " + copies[1]);
  EXPECT_EQ(named(), copies);
  const ReleaseServer server(site_.GetPath(), port_);
  const std::string status = RunTool("status " + Url()).out;
  EXPECT_NE(status.find("\ncopies: " + copies[0] + " " + copies[1] + "\n"), std::string::npos);
  Image("a.txt", "alpha, changed");
  Build();  // an unsigned release names none
  EXPECT_FALSE(std::filesystem::exists(document));
  Build(sign);
  EXPECT_EQ(named(), copies);
  const Snapshot before = Take(site_.GetPath());
  for (const auto& [options, said] :
       {std::pair{"--mirror " + copies[0], "--mirror goes with --sign"},
        {sign + "--mirror https://a/l", "list URL without blanks: https://a/l"}}) {
    EXPECT_NE(RunTool(BuildArguments(image_, site_, options)).err.find(said), std::string::npos);
    EXPECT_EQ(Take(site_.GetPath()), before) << options;
  }
  Build(sign + "--no-mirrors");
  Build(sign);
  EXPECT_FALSE(std::filesystem::exists(document));
}

// Long work draws one line redrawn in place on a terminal; on a pipe it prints only its plain
// lines, and with --quiet nothing but errors.
TEST_F(ReleaseToolTest, ProgressLineOnATerminalOnly) {
  TempFolder work("varne-progress");
  const std::string key = (work.GetPath() / "publisher.key").string();
  std::string public_key = RunTool("keygen '" + key + "'").out;
  public_key.pop_back();
  const std::string build =
      Program("varne-release") + " " + BuildArguments(image_, site_, "--sign '" + key + "'");
  ASSERT_EQ(RunIn(work.GetPath(), build).status, 0);
  const ReleaseServer server(site_.GetPath(), port_);
  const std::string vpk = Program("vpk");
  const std::string commands[] = {
      build,
      Program("varne-release") + " check " + Url() + " --public-key " + public_key,
      "rm -f p.vpk && " + vpk + " pack '" + image_.GetPath().string() + "' p.vpk",
      vpk + " extract p.vpk out",
      vpk + " verify p.vpk",
  };
  for (const std::string& command : commands) {
    for (const std::string quiet : {"", " --quiet"}) {
      const ProcessResult terminal =
          RunIn(work.GetPath(), "script -qec \"" + command + quiet + "\" /dev/null");
      const std::string screen = ScreenText(terminal.out);
      EXPECT_EQ(terminal.status, 0) << command << screen;
      const bool drawn = screen.find("3/3 files  ") != std::string::npos;
      EXPECT_EQ(drawn, quiet.empty()) << command << quiet << screen;
      const ProcessResult piped = RunIn(work.GetPath(), command + quiet);
      EXPECT_EQ(piped.err, "") << command << quiet;
      // Quiet means errors only; without, the plain lines stay as they were.
      if (!quiet.empty()) {
        EXPECT_EQ(screen + piped.out, "") << command;
      }
    }
  }
}

// Players updating from a site while it is rebuilt get one release or the other, never a mix: every
// run, against serve and against nginx in turn, installs each file of the list it read, whole. The
// files change size between the two releases (a file changed in place at the same size is asked
// for by the same URL, which nothing can tell from the new one).
TEST_F(ReleaseToolTest, RebuildsWhileServedNeverMixTwoReleases) {
  TempFolder first("varne-first"), second("varne-second");
  for (const auto& [image, tag] : {std::pair(&first, 'a'), std::pair(&second, 'b')}) {
    WriteFile(image->GetPath() / "same.txt", "unchanged");
    WriteFile(image->GetPath() / (std::string(1, tag) + "-only.txt"), std::string(1, tag));
    WriteFile(image->GetPath() / "data/big.bin", std::string(tag == 'a' ? 1 << 20 : 3 << 19, tag));
    WriteFile(image->GetPath() / "grows.txt", std::string(tag == 'a' ? 5 : 6, tag));
  }
  // The rebuilds run in one shell started before the player: a process forked while the run holds
  // a file shares the run's lock on it until it starts its program.
  // The two releases take turns until the player has run against each server a few times, and at
  // least 20 times.
  const auto build = [&](const TempFolder& image) {
    return Program("varne-release") + " " + BuildArguments(image, site_) +
           " >/dev/null || exit 1\n";
  };
  const TempFolder script("varne-rebuilds");
  WriteFile(script.GetPath() / "rebuild.sh", build(first));
  ASSERT_EQ(RunIn(script.GetPath(), "sh rebuild.sh").status, 0);
  WriteFile(script.GetPath() / "rebuild.sh", "i=0\nwhile [ $i -lt 10 ] || [ ! -e stop ]; do\n" +
                                                 build(second) + build(first) +
                                                 "i=$((i + 1))\ndone\n");
  std::vector<std::uint16_t> ports = {net_testing::FindFreePort()};
  const Background serve(
      site_.GetPath(),
      Program("varne-release") + " serve . --listen 127.0.0.1:" + std::to_string(ports[0]));
  ASSERT_TRUE(WaitForPort(ports[0]));
  std::unique_ptr<Nginx> nginx;
  if (!OnWine()) {
    nginx = std::make_unique<Nginx>(port_, site_.GetPath() / "nginx-site.conf");
    ports.push_back(port_);
  }
  int runs[2] = {};
  const Background rebuilding(script.GetPath(), "sh rebuild.sh");
  std::thread player([&] {
    const InstallFolder install;
    for (std::size_t run = 0; runs[0] < 5 || runs[ports.size() - 1] < 5; ++run) {
      const std::size_t server = run % ports.size();
      const Outcome outcome =
          RunUpdate("http://127.0.0.1:" + std::to_string(ports[server]) + "/game/list");
      ++runs[server];
      EXPECT_TRUE(outcome.completed) << server << ": " << outcome.error;
    }
  });
  player.join();
  WriteFile(script.GetPath() / "stop", "");
  EXPECT_EQ(rebuilding.Wait(120), 0);
}

// The publisher's routine while a player updates from stock nginx in a loop: a 2-of-3 root, signed
// builds, timestamps, a rotation to three other keys (and another timestamp key), builds under it,
// a few moments apart. Every run of the player succeeds, and the run after the routine installs its
// last release. The routine again makes the same site, but for what names a time (serials and
// expiries) and what signing draws at random (ECDSA signatures, and the timestamp's digest of one).
TEST_F(ReleaseToolTest, PlayersUpdateThroughThePublishersRoutine) {
  if (OnWine()) GTEST_SKIP() << "the Windows tool's nginx configuration names Windows paths";
  const TempFolder routine("varne-routine");
  const auto path = [&](const std::string& name) { return (routine.GetPath() / name).string(); };
  const std::string tool = Program("varne-release") + " ";
  for (const char* name : {"a", "b", "c", "d", "e", "f", "t", "u"}) {
    RunIn(routine.GetPath(), tool + "keygen " + name);
  }
  const std::string site = " '" + site_.GetPath().string() + "'";
  const std::string steps = "set -e\nbuild() { printf x >>'" +
                            (image_.GetPath() / "grows.txt").string() + "'; " + tool +
                            BuildArguments(image_, site_, "\"$@\" >/dev/null; }\nstamp() { ") +
                            tool + "timestamp" + site + " --timestamp-key $1; }\nroot() { " + tool +
                            "root" + site + " --game demo --threshold 2 \"$@\"; }\n";
  WriteFile(routine.GetPath() / "first.sh", steps +
                                                "root --key a --key b --key c --timestamp-key t\n"
                                                "build --sign a --sign b --timestamp-key t\n");
  WriteFile(routine.GetPath() / "rest.sh",
            steps +
                "sleep 1; build --sign a --sign c --timestamp-key t\n"
                "sleep 1; stamp t; root --key d --key e --key f --timestamp-key u --sign a "
                "--sign b\nbuild --sign d --sign e --timestamp-key u\n"
                "sleep 1; stamp u\nsleep 1; build --sign e --sign f --timestamp-key u\n"
                "touch done\n");
  const ProcessResult first_build = RunIn(routine.GetPath(), "sh first.sh");
  ASSERT_EQ(first_build.status, 0) << first_build.err;
  const std::size_t key = first_build.out.find("serverside_publickey=") + 21;
  const std::string keys = first_build.out.substr(key, first_build.out.find('\n', key) - key);
  int runs = 0;
  {
    const Nginx nginx(port_, site_.GetPath() / "nginx-site.conf");
    const Background publishing(routine.GetPath(), "sh rest.sh");
    const InstallFolder install;
    for (bool last = false; !last && runs < 3000; ++runs) {
      last = std::filesystem::exists(path("done"));
      const Outcome outcome = RunUpdate(Url(), nullptr, keys);
      ASSERT_TRUE(outcome.completed) << runs << ": " << outcome.error;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(std::filesystem::exists(path("done")));
    EXPECT_EQ(publishing.Wait(60), 0);
    for (const auto& [name, bytes] : Take(image_.GetPath())) EXPECT_EQ(install.Read(name), bytes);
  }
  EXPECT_GT(runs, 5);

  // The same routine from the same image into a site of the same path. What a build draws from the
  // clock or at random is left out: serials and expiries, the ECDSA signatures (and the timestamp's
  // digest of one), and the seed that scrambles each package, taken from the clock when it is
  // packed (its size is kept).
  const auto settled = [](Snapshot site) {
    static const std::regex kDrawn("\n(signature|serial|expires|release) [^\n]*");
    for (auto& [name, bytes] : site) {
      bytes = name.starts_with("packages") ? std::to_string(bytes.size())
                                           : std::regex_replace(bytes, kDrawn, "");
    }
    return site;
  };
  const Snapshot first = settled(Take(site_.GetPath()));
  std::filesystem::remove_all(site_.GetPath());
  std::filesystem::remove(path("done"));
  WriteFile(image_.GetPath() / "grows.txt", "");
  ASSERT_EQ(RunIn(routine.GetPath(), "sh first.sh && sh rest.sh").status, 0);
  const Snapshot second = settled(Take(site_.GetPath()));
  for (const auto& [name, bytes] : first) {
    EXPECT_TRUE(second.contains(name) && second.at(name) == bytes) << name;
  }
  EXPECT_EQ(second.size(), first.size());
}

}  // namespace
}  // namespace test_support
