#include "storage/varne_file.h"

#include <gtest/gtest.h>

#include <memory>

#include "storage/storage_test_util.h"
#include "storage/test_folder.h"
#include "storage/varne_file_system.h"

namespace {

class VarneFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.Write("src/Data/Entry.BIN", content_);
    folder_.Write("src/after.bin", "AFTER");
    VarneFileSystem source;
    source.LoadDirectory(folder_.Path("src"), "");
    source.WritePackage(folder_.Path("p.vpk"), 1);
    system_->ReadPackage(folder_.Path("p.vpk"));
    file_ = system_->OpenFile("data/entry.bin");
  }
  void TearDown() override { system_->CloseFile(file_); }

  std::string ReadRest(std::uint32_t piece) {
    std::string out;
    std::string buffer(piece, '\0');
    for (;;) {
      std::uint32_t got = 0;
      file_->Read(buffer.data(), piece, &got);
      if (got == 0) return out;
      out.append(buffer.data(), got);
    }
  }

  TestFolder folder_;
  const std::string content_ = PatternBytes(1029, 11);
  std::unique_ptr<VarneFileSystem> system_ = std::make_unique<VarneFileSystem>();
  IFile* file_ = nullptr;
};

TEST_F(VarneFileTest, ScrambledReadsInPiecesAndAfterSeeksEqualTheWholeEntry) {
  void* block = nullptr;
  ASSERT_EQ(file_->Lock(static_cast<std::uint32_t>(file_->GetSize()), &block), kResultOk);
  EXPECT_EQ(std::string(static_cast<char*>(block), file_->GetSize()), content_);
  file_->Unlock();
  for (std::uint32_t piece : {1u, 3u, 5u, 7u, 4096u}) {
    ASSERT_EQ(file_->Seek(0, 0), kResultOk);
    // Reads stop at the entry's end, never reading on into the next entry.
    EXPECT_EQ(ReadRest(piece), content_) << piece;
  }
  for (std::int64_t at : {1, 2, 3, 4, 5, 511, 1028, 1029}) {
    file_->Seek(at, 0);
    EXPECT_EQ(file_->Tell(), static_cast<std::uint64_t>(at));
    EXPECT_EQ(ReadRest(3), content_.substr(at)) << "from start " << at;
    file_->Seek(-at, 2);
    EXPECT_EQ(ReadRest(5), content_.substr(content_.size() - at)) << "from end " << at;
    file_->Seek(7, 0);
    file_->Seek(at - 7, 1);
    EXPECT_EQ(ReadRest(7), content_.substr(at)) << "from current " << at;
  }
}

TEST_F(VarneFileTest, SeeksOutsideTheEntryAreRefused) {
  const auto size = static_cast<std::int64_t>(content_.size());
  EXPECT_EQ(file_->Seek(0, 2), kResultOk);
  EXPECT_TRUE(file_->IsEof());
  EXPECT_EQ(file_->Tell(), content_.size());
  EXPECT_EQ(file_->Seek(size, 0), kResultOk);
  for (auto [offset, origin] : {std::pair<std::int64_t, int>{-1, 0},
                                {size + 1, 0},
                                {1, 2},
                                {-size - 1, 2},
                                {1, 1},
                                {-size - 1, 1}}) {
    ExpectFailure([&] { file_->Seek(offset, origin); }, "VarneFile : Seek() out of file.");
  }
  file_->Seek(10, 0);
  EXPECT_EQ(file_->Seek(5, 3), kResultOk);
  EXPECT_EQ(file_->Tell(), 10u);
  EXPECT_FALSE(file_->IsEof());
}

TEST_F(VarneFileTest, LockUnlockAndWriteRules) {
  void* block = nullptr;
  ExpectFailure([&] { file_->Lock(4, nullptr); }, "VarneFile : Invalid Param.");
  file_->Lock(4, &block);
  ExpectFailure([&] { file_->Lock(4, &block); }, "VarneFile : File is Locked.");
  file_->Unlock();
  ExpectFailure([&] { file_->Unlock(); }, "VarneFile : call Unlock() but no locked this file.",
                false);
  file_->Seek(1, 0);
  ExpectFailure([&] { file_->Lock(static_cast<std::uint32_t>(content_.size()), &block); },
                "VarneFile : File Lock Size Over.");
  EXPECT_TRUE(file_->IsLocked());
  EXPECT_EQ(file_->Write("x", 1), E_FAIL);
  file_->Close();
  EXPECT_FALSE(file_->IsLocked());
  EXPECT_FALSE(file_->IsOpen());
  EXPECT_EQ(file_->GetSize(), 0u);
  EXPECT_EQ(file_->Write("x", 1), E_FAIL);
  EXPECT_EQ(file_->Seek(0, 0), E_FAIL);
  std::uint32_t got = 9;
  EXPECT_EQ(file_->Read(&got, 1, &got), E_FAIL);
}

TEST_F(VarneFileTest, DiskEntriesOpenTheFileByTheNameGiven) {
  VarneFileSystem disk;
  disk.LoadDirectory(folder_.Path("SRC"), "");
  IFile* file = disk.OpenFile("DATA/entry.bin");
  EXPECT_EQ(file->GetName(), "DATA/entry.bin");
  EXPECT_EQ(file->GetSize(), content_.size());
  std::string bytes(content_.size(), '\0');
  std::uint32_t got = 0;
  file->Read(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &got);
  EXPECT_EQ(bytes, content_);
  EXPECT_TRUE(file->IsEof());
  EXPECT_EQ(file->Seek(1, 2), E_FAIL);
  EXPECT_EQ(file->Seek(-3, 2), kResultOk);
  EXPECT_EQ(file->Tell(), content_.size() - 3);
  disk.CloseFile(file);
  ExpectFailure([] { VarneFile orphan(nullptr); }, "VarneFile : File-Syetem Pointer Error.");
  VarneFile direct(&disk);
  ExpectFailure([&] { direct.Open("nothing", kOpenBinaryReadOnly); },
                "VarneFile : File not exist : nothing");
  // A package that disappeared cannot be opened, and the message names it.
  std::filesystem::remove(folder_.Native("p.vpk"));
  ExpectFailure([&] { system_->OpenFile("after.bin"); },
                "VarneFile : Package File \"" + folder_.Path("p.vpk") + "\" cannot open.");
}

}  // namespace
