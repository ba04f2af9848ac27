#include "storage/varne_file_system.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/testing/fault_injection.h"
#include "platform/text.h"
#include "storage/block_pipeline.h"
#include "storage/md5.h"
#include "storage/package_key.h"
#include "storage/storage_test_util.h"
#include "storage/test_folder.h"

namespace {

// Every entry's bytes, read through OpenFile and Lock, by key in enumeration order.
std::vector<std::pair<std::string, std::string>> Contents(VarneFileSystem& system) {
  std::vector<std::pair<std::string, std::string>> entries;
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

void FillSourceFolder(const TestFolder& folder) {
  folder.Write("src/Sub/Mixed Case.TXT", "mixed case text");
  folder.Write("src/日本語/ファイル.bin", PatternBytes(300, 7));
  folder.Write("src/empty.dat", "");
  folder.Write("src/big.bin", PatternBytes(1025, 3));
  // Large enough for the digest to run beside the writing, between entries that do not.
  folder.Write("src/large.bin", PatternBytes(kPipelineThreadedSize + 3, 11));
}

bool Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

std::string Utf16(const std::string& text) {
  std::string bytes;
  for (char16_t unit : platform::AnsiToWide(text)) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

TEST(VarneFileSystemTest, PackagesRoundTripScrambledAndPlain) {
  TestFolder folder;
  FillSourceFolder(folder);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"big.bin", PatternBytes(1025, 3)},
      {"empty.dat", ""},
      {"large.bin", PatternBytes(kPipelineThreadedSize + 3, 11)},
      {"sub\\mixed case.txt", "mixed case text"},
      {"日本語\\ファイル.bin", PatternBytes(300, 7)},
  };
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
    for (const auto& [key, bytes] : expected) {
      ASSERT_TRUE(reader.LookupEntry(key, &entry));
      std::uint8_t digest[16];
      MD5().Digest(bytes.data(), static_cast<std::uint32_t>(bytes.size()), digest);
      EXPECT_EQ(std::memcmp(entry.digest, digest, 16), 0) << key;
    }
    ASSERT_TRUE(reader.LookupEntry("BIG.BIN", &entry));
    EXPECT_EQ(entry.scrambled, scramble);
    EXPECT_EQ(entry.storedSize, 1025u);
    EXPECT_EQ(entry.dataOffset, entry.nameOffset + entry.nameLength);

    // Plain packages show names and data as they are; the directory is scrambled either way.
    const std::string bytes = folder.Read(name);
    EXPECT_EQ(Contains(bytes, Utf16("sub\\mixed case.txt")), scramble == 0);
    EXPECT_EQ(Contains(bytes, "mixed case text"), scramble == 0);
    std::uint8_t record[kPackageRecordSize];
    entry.Encode(record);
    EXPECT_FALSE(Contains(bytes, std::string(reinterpret_cast<char*>(record), 64)));

    // Written again from the package: the same entries.
    reader.WritePackage(folder.Path("again" + name), 1);
    VarneFileSystem again;
    again.ReadPackage(folder.Path("again" + name));
    EXPECT_EQ(Contents(again), expected);
  }
}

TEST(VarneFileSystemTest, EmptyDirectoryMakesAHeaderOnlyPackage) {
  TestFolder folder;
  VarneFileSystem system;
  system.WritePackage(folder.Path("empty.vpk"), 1);
  const std::string bytes = folder.Read("empty.vpk");
  ASSERT_EQ(bytes.size(), 56u);
  std::uint8_t head[kPackageHeaderSize];
  std::memcpy(head, bytes.data(), sizeof head);
  const PackageHeader header = PackageHeader::Decode(head);
  EXPECT_TRUE(header.magic_ok);
  EXPECT_EQ(header.fileSize, 56u);
  EXPECT_EQ(header.entryCount, 0u);
  EXPECT_EQ(header.directoryOffset, 56u);
  EXPECT_EQ(header.dataAreaOffset, 56u);
  system.ReadPackage(folder.Path("empty.vpk"));
  EXPECT_EQ(system.FindFirst(), nullptr);
  EXPECT_EQ(system.FindNext(), nullptr);
}

TEST(VarneFileSystemTest, DamagedHeadersAreRefusedAndChangeNothing) {
  TestFolder folder;
  folder.Write("src/keep.txt", "keep");
  VarneFileSystem system;
  system.LoadDirectory(folder.Path("src"), "");
  system.WritePackage(folder.Path("good.vpk"), 1);
  const std::string good = folder.Read("good.vpk");
  const std::string prefix = "VarneFileSystem : Package File \"";

  folder.Write("short.vpk", good.substr(0, 55));
  ExpectFailure([&] { system.ReadPackage(folder.Path("short.vpk")); },
                prefix + folder.Path("short.vpk") + "\" cannot open.(header error)");
  std::string magic = good;
  magic[0] = 'X';
  folder.Write("magic.vpk", magic);
  ExpectFailure([&] { system.ReadPackage(folder.Path("magic.vpk")); },
                prefix + folder.Path("magic.vpk") + "\" file readin error.");
  std::string longer = good;
  longer[8] = static_cast<char>(longer[8] + 1);
  folder.Write("size.vpk", longer);
  ExpectFailure([&] { system.ReadPackage(folder.Path("size.vpk")); },
                prefix + folder.Path("size.vpk") + "\" file size error.");
  ExpectFailure([&] { system.ReadPackage(folder.Path("none.vpk")); },
                prefix + folder.Path("none.vpk") + "\" cannot open.");
  ASSERT_NE(system.FindFirst(), nullptr);
  EXPECT_FALSE(system.FindFirst()->inPackage);  // still the disk entry
  EXPECT_EQ(system.FindNext(), nullptr);
}

// A package of hand-made records, the directory scrambled as the format demands.
std::string RawPackage(std::vector<WPACKAGE_INFO_CELL> records, std::uint64_t entry_count,
                       std::size_t payload) {
  PackageHeader header;
  header.entryCount = entry_count;
  header.headerSeed = 1234;
  header.fileSize = kPackageHeaderSize + kPackageRecordSize * records.size() + payload;
  std::uint8_t head[kPackageHeaderSize];
  header.Encode(head);
  std::string bytes(reinterpret_cast<char*>(head), sizeof head);
  KeyStream directory(DirectorySeed(GetPackageKey(), header.headerSeed));
  for (const WPACKAGE_INFO_CELL& record : records) {
    std::uint8_t cell[kPackageRecordSize];
    record.Encode(cell);
    directory.Apply(cell, sizeof cell);
    bytes.append(reinterpret_cast<char*>(cell), sizeof cell);
  }
  return bytes + std::string(payload, 'a');
}

TEST(VarneFileSystemTest, RecordsPointingOutsideThePackageAreReadErrors) {
  TestFolder folder;
  const std::uint64_t data = kPackageHeaderSize + kPackageRecordSize;
  WPACKAGE_INFO_CELL good;
  good.nameLength = 2;
  good.nameOffset = data;
  good.dataOffset = data + 2;
  good.storedSize = good.sourceSize = 8;
  auto bad = [&](auto change) {
    WPACKAGE_INFO_CELL record = good;
    change(record);
    return RawPackage({record}, 1, 10);
  };
  const std::vector<std::string> packages = {
      bad([](auto& r) { r.nameLength = 0xFFFFFFFFu; }),
      bad([](auto& r) { r.nameOffset = 1ull << 62; }),
      bad([](auto& r) { r.nameOffset = ~0ull - 1; }),
      bad([](auto& r) { r.storedSize = r.sourceSize = 9; }),
      bad([](auto& r) { r.dataOffset = ~0ull; }),
      bad([](auto& r) { r.sourceSize = 9; }),
      RawPackage({good}, 1ull << 60, 10),
      RawPackage({good}, 2, 10),
  };
  for (std::size_t i = 0; i < packages.size(); ++i) {
    const std::string name = "bad" + std::to_string(i) + ".vpk";
    folder.Write(name, packages[i]);
    VarneFileSystem system;
    ExpectFailure([&] { system.ReadPackage(folder.Path(name)); },
                  "VarneFileSystem : Package File \"" + folder.Path(name) + "\" read error.");
  }
  folder.Write("good.vpk", RawPackage({good}, 1, 10));
  VarneFileSystem system;
  system.ReadPackage(folder.Path("good.vpk"));
  EXPECT_EQ(
      Contents(system),
      (std::vector<std::pair<std::string, std::string>>{{"慡", "aaaaaaaa"}}));  // "aa" as UTF-16LE
}

TEST(VarneFileSystemTest, LaterPackagesWinAndNamesMatchAnyCaseOrSlash) {
  TestFolder folder;
  folder.Write("one/Data/Shared.TXT", "first");
  folder.Write("one/only-one.txt", "1");
  folder.Write("two/data/shared.txt", "second");
  for (const char* side : {"one", "two"}) {
    VarneFileSystem source;
    source.LoadDirectory(folder.Path(side), "");
    source.WritePackage(folder.Path(std::string(side) + ".vpk"), 1);
  }
  VarneFileSystem system;
  const auto text_of = [&](const char* name) {
    IFile* file = system.OpenFile(name);
    char bytes[16] = {};
    std::uint32_t got = 0;
    file->Read(bytes, sizeof bytes, &got);
    system.CloseFile(file);
    return std::string(bytes, got);
  };
  const auto shared_text = [&] {
    const std::string text = text_of("data\\shared.txt");
    for (const char* name : {"DATA/Shared.txt", "Data\\SHARED.TXT", "data/shared.TXT"}) {
      EXPECT_EQ(text_of(name), text) << name;
    }
    return text;
  };
  system.ReadPackage(folder.Path("one.vpk"));
  system.ReadPackage(folder.Path("two.vpk"));
  EXPECT_EQ(shared_text(), "second");
  system.ReadPackage(folder.Path("one.vpk"));
  EXPECT_EQ(shared_text(), "first");
  FileInfoCellEx entry;
  ASSERT_TRUE(system.LookupEntry("ONLY-ONE.TXT", &entry));
  EXPECT_EQ(entry.containerPath, folder.Path("one.vpk"));
  ExpectFailure([&] { system.OpenFile("Data/Missing.txt"); },
                "VarneFileSystem : no file in this package.file : data\\missing.txt");
}

TEST(VarneFileSystemTest, EnumerationFollowsUnsignedKeyOrderAndStopsAtTheEnd) {
  TestFolder folder;
  for (const char* name : {"b", "A/b", "ab", "abc", "Z", "é", "日"}) {
    folder.Write(std::string("src/") + name, name);
  }
  VarneFileSystem system;
  EXPECT_EQ(system.FindFirst(), nullptr);
  EXPECT_EQ(system.FindNext(), nullptr);
  system.LoadDirectory(folder.Path("src"), "");
  std::vector<std::string> keys;
  for (const FileFindInfo* info = system.FindFirst(); info; info = system.FindNext()) {
    keys.push_back(info->name);
    EXPECT_EQ(info->containerPath, VarneFileSystem::NormalizeName(folder.Path("src\\")));
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"a\\b", "ab", "abc", "b", "z", "é", "日"}));
  EXPECT_EQ(system.FindNext(), nullptr);
  EXPECT_EQ(system.FindNext(), nullptr);
  // Removing the entry under the cursor does not lose the place.
  system.FindFirst();
  system.RemoveFile("A/B");
  EXPECT_EQ(system.FindNext()->name, "ab");
  EXPECT_EQ(system.RemoveFile("not-there"), 0);
  system.Clear();
  EXPECT_EQ(system.FindFirst(), nullptr);
}

TEST(VarneFileSystemTest, AddFileKeepsToItsBase) {
  TestFolder folder;
  folder.Write("base/in.txt", "in");
  folder.Write("outside.txt", "out");
  VarneFileSystem system;
  ExpectFailure([&] { system.AddFile(folder.Path("outside.txt"), folder.Path("base")); },
                "VarneFileSystem : AddFile base-path error.");
  ExpectFailure([&] { system.AddFile(folder.Path("base\\..\\outside.txt"), folder.Path("base")); },
                "VarneFileSystem : AddFile base-path error.");
  EXPECT_EQ(system.FindFirst(), nullptr);
  // A file that cannot be opened adds nothing.
  EXPECT_ANY_THROW(system.AddFile(folder.Path("base\\gone.txt"), folder.Path("base")));
  EXPECT_EQ(system.FindFirst(), nullptr);
  system.AddFile(folder.Path("base\\.\\IN.txt"), folder.Path("BASE"));
  ASSERT_NE(system.FindFirst(), nullptr);
  EXPECT_EQ(system.FindFirst()->name, "in.txt");
  EXPECT_EQ(system.FindFirst()->size, 2u);
  ExpectFailure([&] { system.LoadDirectory(folder.Path("missing"), ""); },
                "VarneFileSystem : LoadDirectory() FindFirstFile failed.");
}

TEST(VarneFileSystemTest, WritingNeverReplacesAFileAndCleansUpAfterFailure) {
  TestFolder folder;
  folder.Write("src/a.bin", PatternBytes(100000));
  folder.Write("taken.vpk", "precious");
  VarneFileSystem system;
  system.LoadDirectory(folder.Path("src"), "");
  ExpectFailure([&] { system.WritePackage(folder.Path("taken.vpk"), 1); },
                "VarneFileSystem : Package File \"" + folder.Path("taken.vpk") +
                    "\" cannot create or already exists.",
                false);
  EXPECT_EQ(folder.Read("taken.vpk"), "precious");
  platform::InjectWriteFailureAfter(5000);
  ExpectFailure([&] { system.WritePackage(folder.Path("full.vpk"), 1); },
                "VarneFileSystem : File write error.");
  platform::InjectWriteFailureAfter(-1);
  EXPECT_FALSE(std::filesystem::exists(folder.Native("full.vpk")));
  system.WritePackage(folder.Path("full.vpk"), 1);
  EXPECT_TRUE(std::filesystem::exists(folder.Native("full.vpk")));
}

TEST(VarneFileSystemTest, GoldenPackageStaysReadable) {
  VarneFileSystem system;
  system.ReadPackage(VARNE_SOURCE_DIR "/tests/storage/golden.vpk");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"big.bin", PatternBytes(1025, 3)},
      {"empty.dat", ""},
      {"sub\\mixed case.txt", "mixed case text"},
      {"日本語\\ファイル.bin", PatternBytes(300, 7)},
  };
  EXPECT_EQ(Contents(system), expected);
  FileInfoCellEx entry;
  ASSERT_TRUE(system.LookupEntry("big.bin", &entry));
  EXPECT_EQ(entry.scrambled, 1u);
  MD5 md5;
  EXPECT_STREQ(MD5Context::ToText(*reinterpret_cast<const MD5Bytes*>(entry.digest)).c_str(),
               md5.DigestText(expected[0].second.data(), 1025));
}

}  // namespace
