#include "storage/varne_file_manager.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/testing/fault_injection.h"
#include "storage/block_pipeline.h"
#include "storage/testing/storage_test_util.h"
#include "storage/testing/test_folder.h"

namespace {

class VarneFileManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    manager_->GetFileSystem().ReadPackage(
        "p.vpk", TestPackage({{"Game.exe", content_}, {"conf/dlgconfig.conf", "x=1"}}).Shared());
  }

  TestFolder folder_;
  // Large enough that extraction writes on a worker thread, where a full disk must still reach the
  // caller.
  const std::string content_ = PatternBytes(kPipelineThreadedSize + 700000, 5);
  std::unique_ptr<VarneFileManager> manager_ = std::make_unique<VarneFileManager>();
};

TEST_F(VarneFileManagerTest, HandlesCarrySlotAndSerialAndGoStale) {
  EXPECT_EQ(Singleton<IFileManager>::GetInstance(), manager_.get());
  const FileHandle first = manager_->Open("GAME.EXE", kOpenBinaryReadOnly);
  EXPECT_EQ(first, 65536u);  // serial 1, slot 0
  EXPECT_EQ(manager_->GetFileName(first), "GAME.EXE");
  EXPECT_EQ(manager_->Close(first), 0);
  const FileHandle second = manager_->Open("game.exe", kOpenBinaryReadOnly);
  EXPECT_EQ(second, 2u * 65536u);  // slot 0 again, next serial
  EXPECT_EQ(manager_->Open("conf\\dlgconfig.conf", kOpenBinaryReadOnly), 3u * 65536u + 1u);
  constexpr std::uint64_t kAllBits = ~std::uint64_t{0};
  for (FileHandle stale : {first, FileHandle{0}, FileHandle{0x00010005}}) {
    EXPECT_EQ(manager_->Close(stale), 1);
    EXPECT_EQ(manager_->GetSize(stale), kAllBits);
    EXPECT_FALSE(manager_->IsOpen(stale));
    EXPECT_EQ(manager_->Read(stale, nullptr, 0, nullptr), E_FAIL);
  }
  EXPECT_EQ(manager_->GetSize(second), content_.size());
  ExpectFailure([&] { manager_->Seek(second, 0, 3); }, "VarneFileManager : invalid SEEK_ORG");
  manager_->Seek(second, 10, 0);
  EXPECT_EQ(manager_->Seek(second, -1, 1), kResultOk);
  EXPECT_EQ(manager_->Tell(second), 9u);
  void* block = nullptr;
  manager_->Seek(second, 0, 0);
  ASSERT_EQ(manager_->LockAll(second, &block), kResultOk);
  EXPECT_EQ(std::string(static_cast<char*>(block), content_.size()), content_);
  manager_->Unlock(second);
  EXPECT_EQ(manager_->FindFirst(), "conf\\dlgconfig.conf");
  EXPECT_EQ(manager_->FindNext(), "game.exe");
  EXPECT_EQ(manager_->FindNext(), "");
}

TEST_F(VarneFileManagerTest, ExtractReplacesWholeFilesOrNothing) {
  folder_.Write("out/Game.exe", "old contents");
  const FileHandle handle = manager_->Open("game.exe", kOpenBinaryReadOnly);
  manager_->ExtractToFile(handle, folder_.Path("out\\game.exe"));
  EXPECT_EQ(folder_.Read("out/Game.exe"), content_);
  // A full disk mid-write on the worker, or a failed replacement: the failure is reported and
  // the previous file stays as it was, with no temporary file left beside it.
  folder_.Write("out/Game.exe", "old contents");
  manager_->Seek(handle, 0, 0);
  platform::InjectWriteFailureAfter(300000);
  ExpectFailure([&] { manager_->ExtractToFile(handle, folder_.Path("out/Game.exe")); },
                "IFileManager : File write error. : " + folder_.Path("out\\Game.exe"));
  platform::InjectWriteFailureAfter(-1);
  manager_->Seek(handle, 0, 0);
  platform::InjectReplaceFailure(true);
  EXPECT_ANY_THROW(manager_->ExtractToFile(handle, folder_.Path("out/Game.exe")));
  platform::InjectReplaceFailure(false);
  EXPECT_EQ(folder_.Read("out/Game.exe"), "old contents");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_.Native("out")), {}), 1);
  ExpectFailure([&] { manager_->ExtractToFile(handle, folder_.Path("nowhere\\game.exe")); },
                "IFileManager : File Create (Open) Error. : " + folder_.Path("nowhere\\game.exe"));
  ExpectFailure([&] { manager_->ExtractToFile(0, folder_.Path("out\\x")); },
                "IFileManager : File lock error.");
  manager_->Close(handle);
}

TEST_F(VarneFileManagerTest, EndingWithAnOpenHandleWarnsAndTheProcessEndsNormally) {
  // The process's services go with the static objects at exit, where a throw would terminate.
  EXPECT_EXIT(
      {
        manager_->Open("game.exe", kOpenBinaryReadOnly);
        SingletonManager::GetInstance().Register(manager_.release());
        std::exit(0);
      },
      testing::ExitedWithCode(0), "VarneFileManager : ファイルポインタの開放忘れがあります。");
}

}  // namespace
