#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "storage/md5.h"
#include "storage/testing/storage_test_util.h"
#include "storage/testing/test_folder.h"
#include "support/scratch.h"

namespace {

namespace fs = std::filesystem;

using test_support::NativeSeparators;
using test_support::ProcessResult;
using test_support::Snapshot;
using test_support::Take;

// Runs vpk in the folder; each argument is quoted here.
ProcessResult Vpk(const TestFolder& folder, const std::vector<std::string>& args) {
  std::string command = test_support::Program("vpk");
  for (const std::string& arg : args) command += " '" + arg + "'";
  return test_support::RunIn(folder.Native(), command);
}

TEST(VpkTest, PackListExtractVerifyAndCatRoundTrip) {
  TestFolder folder;
  folder.Write("src/ReadMe.TXT", "read me\n");
  folder.Write("src/Data/Sub/Level1.DAT", PatternBytes(5000, 2));
  folder.Write("src/日本語/ファイル名.bin", PatternBytes(77, 9));
  folder.Write("src/empty.bin", "");
  // A link back up the tree is not entered, so every file is packed once.
  fs::create_directory_symlink("../../src", folder.Native("src/Data/loop"));
  const std::string level = PatternBytes(5000, 2);
  for (const std::string mode : {"scrambled", "plain"}) {
    const std::string package = folder.Native(mode + ".vpk").string();
    const std::string out = folder.Native("out-" + mode).string();
    std::vector<std::string> pack = {"pack", folder.Native("src").string(), package};
    if (mode == "plain") pack.push_back("--plain");
    ASSERT_EQ(Vpk(folder, pack).status, 0);
    const ProcessResult list = Vpk(folder, {"list", package});
    MD5 md5;
    EXPECT_EQ(list.out.substr(0, list.out.find('\n')),
              "data\\sub\\level1.dat\t5000\t" + mode + "\t" + md5.DigestText(level.data(), 5000));
    EXPECT_NE(list.out.find("empty.bin\t0\t" + mode + "\td41d8cd98f00b204e9800998ecf8427e\n"),
              std::string::npos);
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 4);
    ASSERT_EQ(Vpk(folder, {"extract", package, out}).status, 0);
    // Extracted under the package's lower-case keys.
    EXPECT_EQ(Take(out).size(), 4u);
    EXPECT_EQ(Take(out + "/data"), (Snapshot{{"sub/level1.dat", level}}));
    EXPECT_EQ(Vpk(folder, {"verify", package}).status, 0);
    EXPECT_EQ(Vpk(folder, {"cat", package, "DATA/sub/level1.dat"}).out, level);
  }
  // Named entries only.
  ASSERT_EQ(Vpk(folder, {"extract", folder.Native("plain.vpk").string(),
                         folder.Native("some").string(), "readme.txt", "日本語/ファイル名.bin"})
                .status,
            0);
  EXPECT_EQ(Take(folder.Native("some")).size(), 2u);
}

TEST(VpkTest, DamagedEntriesAndNamesThatLeaveTheFolderAreNeverExtracted) {
  TestFolder folder;
  const TestPackage good({{"a.bin", PatternBytes(4000, 1)}, {"b.bin", PatternBytes(4000, 2)}});
  std::string bytes = good.Bytes();
  bytes[bytes.size() - 100] ^= 0x01;  // inside b.bin's data, the last entry
  folder.Write("p.vpk", bytes);
  const std::string package = folder.Native("p.vpk").string();
  const ProcessResult verify = Vpk(folder, {"verify", package});
  EXPECT_EQ(verify.status, 1);
  EXPECT_EQ(verify.out, "b.bin\n");
  // Extracting stops at the damaged entry and leaves no file of it; one already there stays.
  folder.Write("out/b.bin", "older b");
  const ProcessResult extract = Vpk(folder, {"extract", package, folder.Native("out").string()});
  EXPECT_EQ(extract.status, 1);
  EXPECT_NE(extract.err.find("\"b.bin\" does not match its stored MD5"), std::string::npos)
      << extract.err;
  EXPECT_EQ(folder.Read("out/b.bin"), "older b");
  EXPECT_EQ(Take(folder.Native("out")).size(), 2u) << "nothing else is left in the folder";
  // Names that leave the folder: nothing at all is written.
  for (const char* hostile : {"a\\..\\..\\evil.txt", "c:drive.txt", "a\\\\b.txt"}) {
    folder.Write("bad.vpk", TestPackage({{"fine.txt", "ok"}, {hostile, "pwned"}}, 0).Bytes());
    const ProcessResult refused = Vpk(folder, {"extract", folder.Native("bad.vpk").string(),
                                               folder.Native("out/inner").string()});
    EXPECT_EQ(refused.status, 1) << hostile;
    EXPECT_NE(refused.err.find("refusing entry"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(folder.Native("out/inner/fine.txt"))) << "nothing is written";
    EXPECT_FALSE(fs::exists(folder.Native("out/evil.txt")));
  }
}

// Names that differ only in case would be one key of the package, which kept one of the two.
TEST(VpkTest, PackRefusesNamesThatDifferOnlyInCase) {
  TestFolder folder;
  folder.Write("src/Data/A.txt", "upper");
  folder.Write("src/Data/a.TXT", "lower");
  const ProcessResult refused =
      Vpk(folder, {"pack", folder.Native("src").string(), folder.Native("p.vpk").string()});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find(NativeSeparators("file names differ only in letter case: Data/")),
            std::string::npos)
      << refused.err;
  for (const char* name : {"A.txt", "a.TXT"}) EXPECT_NE(refused.err.find(name), std::string::npos);
  EXPECT_FALSE(fs::exists(folder.Native("p.vpk")));
}

// Extracting never writes through a folder of the destination that is a link to elsewhere; a
// link that stays inside the destination is written through as usual.
TEST(VpkTest, FoldersLinkedOutsideTheDestinationAreNeverWrittenThrough) {
  TestFolder folder, outside;
  folder.Write("p.vpk", TestPackage({{"data/a.bin", "a"}, {"inside/b.bin", "b"}}).Bytes());
  const std::string package = folder.Native("p.vpk").string();
  fs::create_directories(folder.Native("linked"));
  fs::create_directory_symlink(outside.GetPath(), folder.Native("linked/data"));
  const ProcessResult refused = Vpk(folder, {"extract", package, folder.Native("linked").string()});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("\"data\\a.bin\": its folder leads outside the destination"),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(Take(outside.GetPath()), Snapshot{});
  fs::create_directories(folder.Native("kept/real"));
  fs::create_directory_symlink("real", folder.Native("kept/inside"));
  ASSERT_EQ(Vpk(folder, {"extract", package, folder.Native("kept").string()}).status, 0);
  EXPECT_EQ(Take(folder.Native("kept")), (Snapshot{{"data/a.bin", "a"}, {"real/b.bin", "b"}}));
}

TEST(VpkTest, ExitStatusTellsUsageFromWorkFailures) {
  TestFolder folder;
  folder.Write("src/a.txt", "a");
  const std::string package = folder.Native("p.vpk").string();
  const struct {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {.args = {}, .status = 2},
      {.args = {"frobnicate"}, .status = 2},
      {.args = {"list", "a", "b"}, .status = 2},
      {.args = {"list", "--bogus", "x"}, .status = 2},
      {.args = {"--help"}, .status = 0},
      {.args = {"pack", folder.Native("src").string(), package}, .status = 0},
      {.args = {"pack", folder.Native("src").string(), package}, .status = 1},
  };
  for (const auto& [args, status] : cases) {
    EXPECT_EQ(Vpk(folder, args).status, status) << (args.empty() ? "" : args[0]);
  }
  EXPECT_NE(Vpk(folder, {"--help"}).out.find("usage: vpk"), std::string::npos);
  const ProcessResult missing = Vpk(folder, {"cat", package, "nothing.txt"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "vpk: VarneFileSystem : no file in this package.file : nothing.txt\n");
}

}  // namespace
