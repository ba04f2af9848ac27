#include "storage/varne_file.h"

#include <gtest/gtest.h>

#include <memory>

#include "storage/testing/storage_test_util.h"
#include "storage/testing/test_folder.h"
#include "storage/varne_file_system.h"

namespace {

class VarneFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    system_->ReadPackage(
        "p.vpk", TestPackage({{"Data/Entry.BIN", content_}, {"after.bin", "AFTER"}}).Shared());
    file_ = system_->OpenFile("data/entry.bin");
  }
  void TearDown() override { system_->CloseFile(file_); }

  std::string ReadRest(std::uint32_t piece) {
    std::string out, buffer(piece, '\0');
    for (std::uint32_t got = 1; got > 0; out.append(buffer.data(), got)) {
      file_->Read(buffer.data(), piece, &got);
    }
    return out;
  }

  const std::string content_ = PatternBytes(1029, 11);
  std::unique_ptr<VarneFileSystem> system_ = std::make_unique<VarneFileSystem>();
  IFile* file_ = nullptr;
};

// Reads stop at the entry's end, and the keystream follows every kind of seek.
TEST_F(VarneFileTest, ReadsInPiecesAndAfterSeeksEqualTheWholeEntry) {
  for (std::uint32_t piece : {1u, 3u, 4096u}) {
    ASSERT_EQ(file_->Seek(0, 0), kResultOk);
    EXPECT_EQ(ReadRest(piece), content_) << piece;
  }
  for (std::int64_t at : {1, 2, 3, 5, 511, 1029}) {
    file_->Seek(at, 0);
    EXPECT_EQ(file_->Tell(), static_cast<std::uint64_t>(at));
    EXPECT_EQ(ReadRest(3), content_.substr(at)) << "from start " << at;
    file_->Seek(-at, 2);
    EXPECT_EQ(ReadRest(5), content_.substr(content_.size() - at)) << "from end " << at;
    file_->Seek(7, 0);
    file_->Seek(at - 7, 1);
    EXPECT_EQ(ReadRest(7), content_.substr(at)) << "from current " << at;
  }
  EXPECT_TRUE(file_->IsEof());
}

TEST_F(VarneFileTest, SeeksOutsideTheEntryLocksAndClosedFilesAreRefused) {
  const auto size = static_cast<std::int64_t>(content_.size());
  for (auto [offset, origin] :
       {std::pair<std::int64_t, int>{-1, 0}, {size + 1, 0}, {1, 2}, {-size - 1, 2}, {1, 1}}) {
    file_->Seek(size, 0);
    ExpectFailure([&] { file_->Seek(offset, origin); }, "VarneFile : Seek() out of file.");
  }
  file_->Seek(10, 0);
  EXPECT_EQ(file_->Seek(5, 3), kResultOk);
  EXPECT_EQ(file_->Tell(), 10u);
  void* block = nullptr;
  ExpectFailure([&] { file_->Lock(4, nullptr); }, "VarneFile : Invalid Param.");
  file_->Lock(4, &block);
  EXPECT_EQ(std::string(static_cast<char*>(block), 4), content_.substr(10, 4));
  ExpectFailure([&] { file_->Lock(4, &block); }, "VarneFile : File is Locked.");
  file_->Unlock();
  ExpectFailure([&] { file_->Unlock(); }, "VarneFile : call Unlock() but no locked this file.",
                false);
  ExpectFailure([&] { file_->Lock(static_cast<std::uint32_t>(content_.size()), &block); },
                "VarneFile : File Lock Size Over.");
  EXPECT_EQ(file_->Write("x", 1), E_FAIL);
  file_->Close();
  EXPECT_FALSE(file_->IsLocked());
  EXPECT_EQ(file_->GetSize(), 0u);
  EXPECT_EQ(file_->Seek(0, 0), E_FAIL);
  std::uint32_t got = 9;
  EXPECT_EQ(file_->Read(&got, 1, &got), E_FAIL);
  ExpectFailure([] { VarneFile orphan(nullptr); }, "VarneFile : File-Syetem Pointer Error.");
  ExpectFailure([&] { VarneFile(system_.get()).Open("nothing", kOpenBinaryReadOnly); },
                "VarneFile : File not exist : nothing");
}

TEST(VarneFileDiskTest, DiskEntriesOpenTheFileByTheNameGivenAndSeekQuietly) {
  TestFolder folder;
  const std::string content = PatternBytes(100, 1);
  folder.Write("src/Data/Entry.BIN", content);
  VarneFileSystem disk;
  disk.LoadDirectory(folder.Path("SRC"), "");
  IFile* file = disk.OpenFile("DATA/entry.bin");
  EXPECT_EQ(file->GetName(), "DATA/entry.bin");
  EXPECT_EQ(file->GetSize(), content.size());
  std::string bytes(content.size() + 1, '\0');
  std::uint32_t got = 0;
  file->Read(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &got);
  EXPECT_EQ(bytes.substr(0, got), content);
  EXPECT_TRUE(file->IsEof());
  for (auto [offset, origin] :
       {std::pair<std::int64_t, int>{1, 2}, {-1, 0}, {101, 0}, {1, 1}, {0, 3}}) {
    EXPECT_EQ(file->Seek(offset, origin), E_FAIL) << offset << " " << origin;
  }
  EXPECT_EQ(file->Seek(-3, 2), kResultOk);
  EXPECT_EQ(file->Tell(), content.size() - 3);
  disk.CloseFile(file);
  // A package that disappeared cannot be opened, and the message names it.
  folder.Write("p.vpk", TestPackage({{"a", "b"}}).Bytes());
  disk.ReadPackage(folder.Path("p.vpk"));
  std::filesystem::remove(folder.Native("p.vpk"));
  ExpectFailure([&] { disk.OpenFile("a"); },
                "VarneFile : Package File \"" + folder.Path("p.vpk") + "\" cannot open.");
}

}  // namespace
