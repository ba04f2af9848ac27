#include "platform/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/path.h"
#include "platform/testing/scratch_folder.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

class FileTest : public ::testing::Test {
 protected:
  std::string Internal(const std::string& name) { return ToInternalPath((root_ / name).string()); }
  void Put(const std::string& name, const std::string& bytes) {
    test_support::WriteFile(root_ / name, bytes);
  }
  unsigned Mode(const std::string& name) {
    struct stat info;
    return ::stat((root_ / name).c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
  }

  test_support::TempFolder folder_{"varne-file"};
  const fs::path root_ = folder_.GetPath();
};

TEST_F(FileTest, NamesAreFoundWithoutRegardToCase) {
  Put("Game/Data/RV7.vpk", "package");
  File file;
  ASSERT_EQ(file.Open(Internal("game\\DATA\\rv7.VPK"), Access::kRead, Share::kReadWrite,
                      Disposition::kOpenExisting),
            OpenError::kNone);
  char bytes[16] = {};
  EXPECT_EQ(file.Read(bytes, sizeof bytes), 7);
  EXPECT_EQ(std::string(bytes), "package");
  EXPECT_EQ(ResolvePath(Internal("GAME\\data\\")), (root_ / "Game/Data/").string());
  // A new name keeps the case it was given, below the folders found without regard to case.
  EXPECT_EQ(ResolvePath(Internal("GAME\\New\\File.TXT")), (root_ / "Game/New/File.TXT").string());
  ASSERT_EQ(file.Open(Internal("game\\NewFile.txt"), Access::kWrite, Share::kReadWrite,
                      Disposition::kCreateNew),
            OpenError::kNone);
  EXPECT_TRUE(fs::exists(root_ / "Game/NewFile.txt"));
  // A folder renamed to another case after it was found is found again under its new name.
  fs::rename(root_ / "Game/Data", root_ / "Game/DATA2");
  fs::rename(root_ / "Game/DATA2", root_ / "Game/dAtA");
  EXPECT_EQ(ResolvePath(Internal("game\\DATA\\rv7.VPK")), (root_ / "Game/dAtA/RV7.vpk").string());
}

// How each refusal is classified is the storage layer's DefaultFile test; a full disk is the file
// system's (both through platform::File).
TEST_F(FileTest, ReadersThatDenyWritingShareAndKeepWritersOut) {
  Put("shared.bin", "x");
  const std::string path = Internal("shared.bin");
  File reader, other_reader, writer;
  ASSERT_EQ(reader.Open(path, Access::kRead, Share::kDenyWrite, Disposition::kOpenExisting),
            OpenError::kNone);
  EXPECT_EQ(other_reader.Open(path, Access::kRead, Share::kDenyWrite, Disposition::kOpenExisting),
            OpenError::kNone);
  // A refused truncating open must leave the bytes alone.
  EXPECT_EQ(writer.Open(path, Access::kWrite, Share::kDenyWrite, Disposition::kCreateAlways),
            OpenError::kDenied);
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_EQ(test_support::ReadFile(root_ / "shared.bin"), "x");
}

// Kept modes and new programs' execute bits are the update run's tests (update_test).
TEST_F(FileTest, ReplacementsOfPlainTextAndAbandonedOnes) {
  {
    ReplacementFile committed, abandoned;
    ASSERT_TRUE(committed.Create(Internal("notes.txt")));
    ASSERT_EQ(committed.Write("text", 4), 4u);
    ASSERT_TRUE(committed.Commit());
    ASSERT_TRUE(abandoned.Create(Internal("notes.txt")));
    abandoned.Write("new", 3);
  }
  EXPECT_EQ(test_support::ReadFile(root_ / "notes.txt"), "text");
  EXPECT_EQ(Mode("notes.txt") & 0111, 0u);
  // No new file stays behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);
}

TEST_F(FileTest, FullPathsAndListings) {
  const std::string cwd = ToInternalPath(fs::current_path().string());
  const std::pair<std::string, std::string> paths[] = {
      {"\\opt\\game\\.\\data\\..\\RV7.vpk", "\\opt\\game\\RV7.vpk"},
      {"\\opt\\game\\", "\\opt\\game\\"},
      {"\\..\\x", "\\x"},
      {"sub\\file.txt", cwd + "\\sub\\file.txt"},
  };
  for (const auto& [path, full] : paths) EXPECT_EQ(GetFullPath(path), full) << path;

  Put("a.txt", "");
  Put("sub/b.txt", "");
  std::vector<DirectoryItem> items;
  ASSERT_TRUE(ListDirectory(Internal(""), &items));
  ASSERT_EQ(items.size(), 2u);
  for (const auto& item : items) EXPECT_EQ(item.is_directory, item.name == "sub");
  EXPECT_FALSE(ListDirectory(Internal("nothing"), &items));
  EXPECT_TRUE(IsDirectory(Internal("SUB\\")));
  EXPECT_FALSE(IsDirectory(Internal("a.txt")));
}

}  // namespace
}  // namespace platform
