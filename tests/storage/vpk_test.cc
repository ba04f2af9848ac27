#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "storage/md5.h"
#include "storage/package_format.h"
#include "storage/package_key.h"
#include "storage/test_folder.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

// Runs vpk through the shell with the given arguments (already quoted).
Outcome Vpk(const TestFolder& folder, const std::string& args) {
  const std::string command = "'" VARNE_BINARY_DIR "/bin/vpk' " + args + " >'" +
                              folder.Native("stdout").string() + "' 2>'" +
                              folder.Native("stderr").string() + "'; echo $? >'" +
                              folder.Native("status").string() + "'";
  if (std::system(command.c_str()) != 0) ADD_FAILURE() << command;
  return {std::stoi(folder.Read("status")), folder.Read("stdout"), folder.Read("stderr")};
}

std::string MD5Text(const std::string& bytes) {
  MD5 md5;
  return md5.DigestText(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

std::string Quote(const fs::path& path) {
  std::string quoted(1, '\'');
  quoted += path.string();
  quoted += '\'';
  return quoted;
}

// Every file below root by its lower-cased relative path, as the package keys it.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (!item.is_regular_file()) continue;
    std::tstring key = fs::relative(item.path(), root).string();
    key.ToLower();
    files[key] = TestFolder::ReadNative(item.path());
  }
  return files;
}

TEST(VpkTest, PackListExtractVerifyAndCatRoundTrip) {
  TestFolder folder;
  folder.Write("src/ReadMe.TXT", "read me\n");
  folder.Write("src/Data/Sub/Level1.DAT", PatternBytes(5000, 2));
  folder.Write("src/日本語/ファイル名.bin", PatternBytes(77, 9));
  folder.Write("src/empty.bin", "");
  folder.Write("src/odd.bin", PatternBytes(1025, 4));
  const auto source = Tree(folder.Native("src"));
  for (const std::string mode : {"scrambled", "plain"}) {
    const fs::path package = folder.Native(mode + ".vpk");
    const fs::path out = folder.Native("out-" + mode);
    ASSERT_EQ(Vpk(folder, "pack " + Quote(folder.Native("src")) + " " + Quote(package) +
                              (mode == "plain" ? " --plain" : ""))
                  .status,
              0);
    const Outcome list = Vpk(folder, "list " + Quote(package));
    ASSERT_EQ(list.status, 0);
    EXPECT_EQ(list.out.substr(0, list.out.find('\n')),
              "data\\sub\\level1.dat\t5000\t" + mode + "\t" + MD5Text(PatternBytes(5000, 2)));
    EXPECT_NE(list.out.find("empty.bin\t0\t" + mode + "\td41d8cd98f00b204e9800998ecf8427e\n"),
              std::string::npos);
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 5);

    ASSERT_EQ(Vpk(folder, "extract " + Quote(package) + " " + Quote(out)).status, 0);
    EXPECT_EQ(Tree(out), source);
    EXPECT_EQ(Vpk(folder, "verify " + Quote(package)).status, 0);
    const Outcome cat = Vpk(folder, "cat " + Quote(package) + " 'DATA/sub/level1.dat'");
    EXPECT_EQ(cat.status, 0);
    EXPECT_EQ(cat.out, PatternBytes(5000, 2));
  }
  // Named entries only.
  ASSERT_EQ(Vpk(folder, "extract " + Quote(folder.Native("plain.vpk")) + " " +
                            Quote(folder.Native("some")) + " odd.bin '日本語/ファイル名.bin'")
                .status,
            0);
  EXPECT_EQ(Tree(folder.Native("some")).size(), 2u);
}

TEST(VpkTest, DamagedEntriesAreNamedAndNeverExtracted) {
  TestFolder folder;
  folder.Write("src/a.bin", PatternBytes(4000, 1));
  folder.Write("src/b.bin", PatternBytes(4000, 2));
  // A link back up the tree is not entered, so every file is packed once.
  fs::create_directory_symlink("..", folder.Native("src/loop"));
  ASSERT_EQ(Vpk(folder, "pack " + Quote(folder.Native("src")) + " " + Quote(folder.Native("p.vpk")))
                .status,
            0);
  const Outcome list = Vpk(folder, "list " + Quote(folder.Native("p.vpk")));
  EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 2) << list.out;
  std::string bytes = folder.Read("p.vpk");
  bytes[bytes.size() - 100] ^= 0x01;  // inside b.bin's data, the last entry
  folder.Write("p.vpk", bytes);
  const Outcome verify = Vpk(folder, "verify " + Quote(folder.Native("p.vpk")));
  EXPECT_EQ(verify.status, 1);
  EXPECT_EQ(verify.out, "b.bin\n");

  // Extracting stops at the damaged entry and leaves no file of it; one already there stays.
  folder.Write("out/b.bin", "older b");
  const Outcome extract =
      Vpk(folder, "extract " + Quote(folder.Native("p.vpk")) + " " + Quote(folder.Native("out")));
  EXPECT_EQ(extract.status, 1);
  EXPECT_NE(extract.err.find("\"b.bin\" does not match its stored MD5"), std::string::npos)
      << extract.err;
  EXPECT_EQ(folder.Read("out/b.bin"), "older b");
  EXPECT_EQ(Tree(folder.Native("out")).size(), 2u) << "nothing else is left in the folder";
}

// A package whose entry names were chosen by someone else.
void WriteHostilePackage(const fs::path& path, const std::vector<std::string>& names) {
  PackageHeader header;
  header.headerSeed = 77;
  header.entryCount = names.size();
  header.dataAreaOffset = kPackageHeaderSize + kPackageRecordSize * names.size();
  std::string directory, data;
  KeyStream stream(DirectorySeed(GetPackageKey(), header.headerSeed));
  for (const std::string& name : names) {
    WPACKAGE_INFO_CELL record;
    record.nameOffset = header.dataAreaOffset + data.size();
    for (char c : name) data += std::string{c, '\0'};  // ASCII names only
    record.nameLength = static_cast<std::uint32_t>(2 * name.size());
    record.dataOffset = header.dataAreaOffset + data.size();
    data += "pwned";
    record.storedSize = record.sourceSize = 5;
    std::uint8_t cell[kPackageRecordSize];
    record.Encode(cell);
    stream.Apply(cell, sizeof cell);
    directory.append(reinterpret_cast<char*>(cell), sizeof cell);
  }
  header.fileSize = header.dataAreaOffset + data.size();
  std::uint8_t head[kPackageHeaderSize];
  header.Encode(head);
  std::ofstream(path, std::ios::binary)
      << std::string(reinterpret_cast<char*>(head), sizeof head) << directory << data;
}

TEST(VpkTest, ExtractRefusesNamesThatLeaveTheFolder) {
  TestFolder folder;
  for (const std::string hostile : {"a\\..\\..\\evil.txt", "c:drive.txt", "a\\\\b.txt"}) {
    WriteHostilePackage(folder.Native("bad.vpk"), {"fine.txt", hostile});
    const Outcome extract = Vpk(folder, "extract " + Quote(folder.Native("bad.vpk")) + " " +
                                            Quote(folder.Native("out/inner")));
    EXPECT_EQ(extract.status, 1) << hostile;
    EXPECT_NE(extract.err.find("refusing entry"), std::string::npos) << extract.err;
    EXPECT_FALSE(fs::exists(folder.Native("out/inner/fine.txt"))) << "nothing is written";
    EXPECT_FALSE(fs::exists(folder.Native("out/evil.txt")));
    fs::remove(folder.Native("bad.vpk"));
  }
}

TEST(VpkTest, ExitStatusTellsUsageFromWorkFailures) {
  TestFolder folder;
  folder.Write("src/a.txt", "a");
  EXPECT_EQ(Vpk(folder, "").status, 2);
  EXPECT_EQ(Vpk(folder, "frobnicate").status, 2);
  EXPECT_EQ(Vpk(folder, "list").status, 2);
  EXPECT_EQ(Vpk(folder, "list a b").status, 2);
  EXPECT_EQ(Vpk(folder, "list --bogus x").status, 2);
  for (const char* help :
       {"--help", "pack --help", "list --help", "extract --help", "cat --help", "verify --help"}) {
    const Outcome outcome = Vpk(folder, help);
    EXPECT_EQ(outcome.status, 0) << help;
    EXPECT_NE(outcome.out.find("usage: vpk"), std::string::npos) << help;
  }
  const std::string package = Quote(folder.Native("p.vpk"));
  ASSERT_EQ(Vpk(folder, "pack " + Quote(folder.Native("src")) + " " + package).status, 0);
  const Outcome again = Vpk(folder, "pack " + Quote(folder.Native("src")) + " " + package);
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("cannot create or already exists."), std::string::npos);
  const Outcome missing = Vpk(folder, "cat " + package + " nothing.txt");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "vpk: VarneFileSystem : no file in this package.file : nothing.txt\n");
  EXPECT_EQ(Vpk(folder, "list " + Quote(folder.Native("none.vpk"))).status, 1);
}

}  // namespace
