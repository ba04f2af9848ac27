// What the file code does alike on both systems, through paths below a Japanese folder name.
#include "platform/file.h"

#include <gtest/gtest.h>

#include "platform/file_move.h"
#include "platform/testing/scratch_folder.h"

namespace platform {
namespace {

using FileTest = test_support::ScratchFolderTest;

// How each refusal is classified is the storage layer's DefaultFile test; a full disk is the file
// system's (both through platform::File).
TEST_F(FileTest, ReadersThatDenyWritingShareAndKeepWritersOut) {
  Put("shared.bin", "x");
  const std::string path = Path("shared.bin");
  File reader, other_reader, writer;
  ASSERT_EQ(reader.Open(path, Access::kRead, Share::kDenyWrite, Disposition::kOpenExisting),
            OpenError::kNone);
  EXPECT_EQ(other_reader.Open(path, Access::kRead, Share::kDenyWrite, Disposition::kOpenExisting),
            OpenError::kNone);
  // A refused truncating open must leave the bytes alone.
  EXPECT_EQ(writer.Open(path, Access::kWrite, Share::kDenyWrite, Disposition::kCreateAlways),
            OpenError::kDenied);
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_EQ(Get("shared.bin"), "x");
}

// A full disk is the storage tests' (through platform::File on both systems).
TEST_F(FileTest, SeeksFromEachOriginAndReadsToTheEnd) {
  File file;
  ASSERT_EQ(
      file.Open(Path("out.bin"), Access::kReadWrite, Share::kDenyWrite, Disposition::kCreateAlways),
      OpenError::kNone);
  EXPECT_EQ(file.Write("01234abc", 8), 8u);
  EXPECT_EQ(file.Length(), 8);
  EXPECT_EQ(file.Seek(2, 0), 2);
  EXPECT_EQ(file.Seek(1, 1), 3);
  EXPECT_EQ(file.Seek(-3, 2), 5);
  EXPECT_EQ(file.Seek(0, 7), -1);
  EXPECT_EQ(file.Tell(), 5);
  char bytes[8] = {};
  EXPECT_EQ(file.Read(bytes, sizeof bytes), 3);
  EXPECT_EQ(std::string(bytes), "abc");
  EXPECT_EQ(file.Read(bytes, sizeof bytes), 0);
  EXPECT_TRUE(file.Sync());
}

// Japanese names, created, replaced, moved and listed, keep every byte.
TEST_F(FileTest, ReplacementsAndJapaneseNames) {
  const std::string folder = Path("表示フォルダ");
  ASSERT_TRUE(MakeDirectory(folder));
  EXPECT_FALSE(MakeDirectory(folder));
  const std::string name = folder + "\\ソ連.txt";  // "ソ" is 0x83 0x5C in code page 932
  for (const char* text : {"first", "second"}) {
    const std::string bytes = text;
    ReplacementFile file;
    ASSERT_TRUE(file.Create(name));
    ASSERT_EQ(file.Write(bytes.data(), bytes.size()), bytes.size());
    ASSERT_TRUE(file.Commit());
    EXPECT_EQ(ReadWholeFile(name), bytes);
  }
  {
    ReplacementFile abandoned;
    ASSERT_TRUE(abandoned.Create(name));
    abandoned.Write("third", 5);
  }
  EXPECT_EQ(ReadWholeFile(name), "second");
  std::vector<DirectoryItem> items;
  ASSERT_TRUE(ListDirectory(folder, &items));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].name, "ソ連.txt");
  EXPECT_FALSE(items[0].is_directory);
  EXPECT_FALSE(ListDirectory(Path("nothing"), &items));
  std::vector<DirectoryItem> top;
  ASSERT_TRUE(ListDirectory(Path(), &top));
  ASSERT_EQ(top.size(), 1u);
  EXPECT_TRUE(top[0].is_directory);
  EXPECT_TRUE(IsDirectory(Path("表示フォルダ\\")));
  EXPECT_FALSE(IsDirectory(name));

  Put("new.txt", "moved");
  ASSERT_TRUE(MoveFileReplacing(Path("new.txt"), name));
  EXPECT_EQ(ReadWholeFile(name), "moved");
  EXPECT_FALSE(PathExists(Path("new.txt")));
  EXPECT_FALSE(MoveFileReplacing(Path("new.txt"), name));
  EXPECT_TRUE(RemoveFile(name));
  EXPECT_FALSE(RemoveFile(name));
}

}  // namespace
}  // namespace platform
