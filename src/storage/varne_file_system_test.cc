#include "storage/varne_file_system.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/testing/fault_injection.h"
#include "storage/block_pipeline.h"
#include "storage/testing/storage_test_util.h"
#include "storage/testing/test_folder.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

// Every entry's bytes, read through OpenFile and Lock, by key in enumeration order.
Entries Contents(VarneFileSystem& system) {
  Entries entries;
  for (const FileFindInfo* info = system.FindFirst(); info; info = system.FindNext()) {
    IFile* file = system.OpenFile(info->name);
    void* block = nullptr;
    file->Lock(static_cast<std::uint32_t>(file->GetSize()), &block);
    entries.emplace_back(info->name, std::string(static_cast<char*>(block), file->GetSize()));
    file->Unlock();
    system.CloseFile(file);
  }
  return entries;
}

const Entries kSample = {
    {"big.bin", PatternBytes(1025, 3)},
    {"empty.dat", ""},
    {"sub\\mixed case.txt", "mixed case text"},
    {"日本語\\ファイル.bin", PatternBytes(300, 7)},
};

TEST(VarneFileSystemTest, WrittenPackagesReadBackScrambledAndPlain) {
  TestFolder folder;
  folder.Write("src/Sub/Mixed Case.TXT", "mixed case text");
  folder.Write("src/日本語/ファイル.bin", PatternBytes(300, 7));
  folder.Write("src/empty.dat", "");
  folder.Write("src/big.bin", PatternBytes(1025, 3));
  // Large enough for the digest to run beside the writing, between entries that do not.
  const std::string large = PatternBytes(kPipelineThreadedSize + 3, 11);
  folder.Write("src/large.bin", large);
  Entries expected = kSample;
  expected.insert(expected.begin() + 2, {"large.bin", large});
  for (std::uint32_t scramble : {0u, 1u}) {
    const std::string name = "out" + std::to_string(scramble) + ".vpk";
    VarneFileSystem source;
    source.LoadDirectory(folder.Path("src"), "");
    EXPECT_EQ(Contents(source), expected);
    source.WritePackage(folder.Path(name), scramble);
    VarneFileSystem reader;
    reader.ReadPackage(folder.Path(name));
    EXPECT_EQ(Contents(reader), expected);
    FileInfoCellEx entry;
    ASSERT_TRUE(reader.LookupEntry("LARGE.BIN", &entry));
    std::uint8_t digest[16];
    MD5().Digest(large.data(), static_cast<std::uint32_t>(large.size()), digest);
    EXPECT_EQ(std::memcmp(entry.digest, digest, 16), 0);
    EXPECT_EQ(entry.scrambled, scramble);
    // Plain packages show their data as it is.
    EXPECT_EQ(folder.Read(name).find("mixed case text") != std::string::npos, scramble == 0);
  }
  VarneFileSystem().WritePackage(folder.Path("empty.vpk"), 1);
  EXPECT_EQ(folder.Read("empty.vpk").size(), kPackageHeaderSize);
}

TEST(VarneFileSystemTest, GoldenPackageStaysReadable) {
  VarneFileSystem system;
  system.ReadPackage(VARNE_SOURCE_DIR "/tests/storage/golden.vpk");
  EXPECT_EQ(Contents(system), kSample);
  FileInfoCellEx entry;
  ASSERT_TRUE(system.LookupEntry("big.bin", &entry));
  EXPECT_EQ(entry.scrambled, 1u);
  EXPECT_EQ(entry.dataOffset, entry.nameOffset + entry.nameLength);
  EXPECT_EQ(MD5Context::ToText(*reinterpret_cast<const MD5Bytes*>(entry.digest)),
            MD5().DigestText(kSample[0].second.data(), 1025));
}

// The exact texts of the package reader's failures; none of them changes the directory.
TEST(VarneFileSystemTest, DamagedPackagesAreRefusedWithTheirMessage) {
  const TestPackage good({{"aa", "12345678"}}, 0);
  const auto damaged = [&](auto change) {
    TestPackage package = good;
    change(package.header, package.records[0]);
    return package.Bytes();
  };
  const struct {
    std::string bytes;
    const char* text;
  } cases[] = {
      {.bytes = good.Bytes().substr(0, 55), .text = "cannot open.(header error)"},
      {.bytes = "X" + good.Bytes().substr(1), .text = "file readin error."},
      {.bytes = damaged([](auto& h, auto&) { h.fileSize += 1; }), .text = "file size error."},
      {.bytes = damaged([](auto& h, auto&) { h.entryCount = 2; }), .text = "read error."},
      {.bytes = damaged([](auto& h, auto&) { h.entryCount = 1ull << 60; }), .text = "read error."},
      {.bytes = damaged([](auto&, auto& r) { r.nameLength = 0xFFFFFFFFu; }), .text = "read error."},
      {.bytes = damaged([](auto&, auto& r) { r.nameOffset = ~0ull - 1; }), .text = "read error."},
      {.bytes = damaged([](auto&, auto& r) { r.storedSize = r.sourceSize = 9; }),
       .text = "read error."},
      {.bytes = damaged([](auto&, auto& r) { r.dataOffset = ~0ull; }), .text = "read error."},
      {.bytes = damaged([](auto&, auto& r) { r.sourceSize = 9; }), .text = "read error."},
  };
  VarneFileSystem system;
  system.ReadPackage("keep.vpk", TestPackage({{"keep", "k"}}).Shared());
  for (const auto& [bytes, text] : cases) {
    ExpectFailure(
        [&] { system.ReadPackage("bad/p.vpk", std::make_shared<const std::string>(bytes)); },
        std::string("VarneFileSystem : Package File \"bad\\p.vpk\" ") + text);
  }
  TestFolder folder;
  ExpectFailure([&] { system.ReadPackage(folder.Path("none.vpk")); },
                "VarneFileSystem : Package File \"" + folder.Path("none.vpk") + "\" cannot open.");
  EXPECT_EQ(Contents(system), (Entries{{"keep", "k"}}));
  system.ReadPackage("good.vpk", good.Shared());
  EXPECT_EQ(Contents(system), (Entries{{"aa", "12345678"}, {"keep", "k"}}));
}

TEST(VarneFileSystemTest, LaterPackagesWinAndNamesMatchAnyCaseOrSlash) {
  VarneFileSystem system;
  const auto text_of = [&](const char* name) {
    IFile* file = system.OpenFile(name);
    char bytes[16] = {};
    std::uint32_t got = 0;
    file->Read(bytes, sizeof bytes, &got);
    system.CloseFile(file);
    return std::string(bytes, got);
  };
  const auto one = TestPackage({{"Data\\Shared.TXT", "first"}, {"only-one.txt", "1"}}).Shared();
  const auto two = TestPackage({{"data/shared.txt", "second"}}, 0).Shared();
  system.ReadPackage("one.vpk", one);
  system.ReadPackage("two.vpk", two);
  for (const char* name : {"DATA/Shared.txt", "data\\SHARED.TXT"})
    EXPECT_EQ(text_of(name), "second");
  system.ReadPackage("one.vpk", one);
  EXPECT_EQ(text_of("data/shared.TXT"), "first");
  FileInfoCellEx entry;
  ASSERT_TRUE(system.LookupEntry("ONLY-ONE.TXT", &entry));
  EXPECT_EQ(entry.containerPath, "one.vpk");
  ExpectFailure([&] { system.OpenFile("Data/Missing.txt"); },
                "VarneFileSystem : no file in this package.file : data\\missing.txt");
}

TEST(VarneFileSystemTest, EnumerationFollowsUnsignedKeyOrderAndSurvivesRemoval) {
  std::vector<TestPackage::Entry> entries;
  for (const char* name : {"b", "A/b", "ab", "abc", "Z", "é", "日"})
    entries.push_back({name, name});
  VarneFileSystem system;
  EXPECT_EQ(system.FindNext(), nullptr);
  system.ReadPackage("p.vpk", TestPackage(entries).Shared());
  std::vector<std::string> keys;
  for (const FileFindInfo* info = system.FindFirst(); info; info = system.FindNext()) {
    keys.push_back(info->name);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"a\\b", "ab", "abc", "b", "z", "é", "日"}));
  // Removing the entry under the cursor does not lose the place.
  system.FindFirst();
  system.RemoveFile("A/B");
  EXPECT_EQ(system.FindNext()->name, "ab");
  system.Clear();
  EXPECT_EQ(system.FindFirst(), nullptr);
}

TEST(VarneFileSystemTest, DiskFilesKeepToTheirBaseAndPackagesNeverReplaceAFile) {
  TestFolder folder;
  folder.Write("base/in.txt", PatternBytes(100000));
  folder.Write("taken.vpk", "precious");
  VarneFileSystem system;
  for (const char* outside : {"taken.vpk", "base\\..\\taken.vpk"}) {
    ExpectFailure([&] { system.AddFile(folder.Path(outside), folder.Path("base")); },
                  "VarneFileSystem : AddFile base-path error.");
  }
  // A file that cannot be opened adds nothing.
  EXPECT_ANY_THROW(system.AddFile(folder.Path("base\\gone.txt"), folder.Path("base")));
  EXPECT_EQ(system.FindFirst(), nullptr);
  ExpectFailure([&] { system.LoadDirectory(folder.Path("missing"), ""); },
                "VarneFileSystem : LoadDirectory() FindFirstFile failed.");
  system.AddFile(folder.Path("base\\.\\IN.txt"), folder.Path("BASE"));
  EXPECT_EQ(system.FindFirst()->name, "in.txt");
  EXPECT_EQ(system.FindFirst()->size, 100000u);
  ExpectFailure([&] { system.WritePackage(folder.Path("taken.vpk"), 1); },
                "VarneFileSystem : Package File \"" + folder.Path("taken.vpk") +
                    "\" cannot create or already exists.",
                false);
  EXPECT_EQ(folder.Read("taken.vpk"), "precious");
  // A package that fails part-way is removed.
  platform::InjectWriteFailureAfter(5000);
  ExpectFailure([&] { system.WritePackage(folder.Path("full.vpk"), 1); },
                "VarneFileSystem : File write error.");
  platform::InjectWriteFailureAfter(-1);
  EXPECT_FALSE(std::filesystem::exists(folder.Native("full.vpk")));
}

}  // namespace
