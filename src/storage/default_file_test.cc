#include "storage/default_file.h"

#include <gtest/gtest.h>

#include "platform/file.h"
#include "storage/testing/storage_test_util.h"
#include "storage/testing/test_folder.h"

namespace {

TEST(DefaultFileTest, ReadsSeeksAndLocksStayInsideTheFile) {
  TestFolder folder;
  folder.Write("a.bin", "0123456789");
  DefaultFile file;
  EXPECT_EQ(file.GetSize(), ~std::uint64_t{0});
  EXPECT_EQ(file.Read(nullptr, 1, nullptr), E_FAIL);
  void* block = nullptr;
  ExpectFailure([&] { file.Lock(1, &block); }, "IFile : DefaultFile : File Not OK.");
  file.Open(folder.Path("A.BIN").c_str(), kOpenBinaryReadOnly);
  char buffer[8];
  std::uint32_t got = 99;
  EXPECT_EQ(file.Read(buffer, 8, &got), kResultOk);
  EXPECT_EQ(file.Read(buffer, 8, &got), kResultPartial);
  EXPECT_EQ(got, 2u);
  EXPECT_TRUE(file.IsEof());
  EXPECT_EQ(file.Read(buffer, 8, &got), E_FAIL);
  EXPECT_EQ(file.Write("x", 1), E_FAIL);  // opened read-only
  for (auto [offset, origin] : {std::pair<std::int64_t, int>{1, 2}, {11, 0}, {-1, 0}, {1, 1}}) {
    EXPECT_EQ(file.Seek(offset, origin), E_FAIL) << offset << " " << origin;
  }
  EXPECT_EQ(file.Tell(), 10u);
  EXPECT_EQ(file.Seek(-8, 1), kResultOk);
  ASSERT_EQ(file.Lock(8, &block), kResultOk);
  EXPECT_EQ(std::string(static_cast<char*>(block), 8), "23456789");
  ExpectFailure([&] { file.Lock(1, &block); }, "IFile : DefaultFile : Lock Data buffer not NULL.");
  file.Close();
  EXPECT_FALSE(file.IsLocked());
  file.Open(folder.Path("a.bin").c_str(), kOpenBinaryReadOnly);
  ExpectFailure([&] { file.Lock(11, &block); }, "IFile : DefaultFile : Data read error.");
}

TEST(DefaultFileTest, OpenFailuresNameTheCauseAndThePath) {
  TestFolder folder;
  folder.Write("busy.bin", "x");
  const std::tstring missing = folder.Path("missing.bin"), busy = folder.Path("busy.bin");
  DefaultFile file;
  ExpectFailure([&] { file.Open(missing.c_str(), kOpenBinaryReadOnly); },
                "IFile : ファイルは開けませんでした。\n" + missing, false);
  ExpectFailure([&] { file.Open(busy.c_str(), kOpenBinaryNewWriteOnly); },
                "IFile : 既に存在するファイルを新たに作成しようとしました。\n" + busy, false);
  platform::File writer;
  ASSERT_EQ(writer.Open(busy, platform::Access::kWrite, platform::Share::kDenyWrite,
                        platform::Disposition::kOpenExisting),
            platform::OpenError::kNone);
  ExpectFailure([&] { file.Open(busy.c_str(), kOpenBinaryReadOnly); },
                "IFile : ファイルは書き込み違反か共有違反で開けませんでした。\n" + busy, false);
}

}  // namespace
