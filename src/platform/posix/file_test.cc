// Path forms, names found without regard to case and modes: what only the POSIX file code does.
#include "platform/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/path.h"
#include "platform/testing/scratch_folder.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

class PosixFileTest : public ::testing::Test {
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

TEST_F(PosixFileTest, NamesAreFoundWithoutRegardToCase) {
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

TEST_F(PosixFileTest, FullPathsAndModes) {
  const std::string cwd = ToInternalPath(fs::current_path().string());
  const std::pair<std::string, std::string> paths[] = {
      {"\\opt\\game\\.\\data\\..\\RV7.vpk", "\\opt\\game\\RV7.vpk"},
      {"\\opt\\game\\", "\\opt\\game\\"},
      {"\\..\\x", "\\x"},
      {"sub\\file.txt", cwd + "\\sub\\file.txt"},
  };
  for (const auto& [path, full] : paths) EXPECT_EQ(GetFullPath(path), full) << path;

  // Replacements of plain text are not made executable; kept modes and new programs' execute bits
  // are the update run's tests (update_test).
  ReplacementFile file;
  ASSERT_TRUE(file.Create(Internal("notes.txt")));
  ASSERT_TRUE(file.Commit());
  EXPECT_EQ(Mode("notes.txt") & 0111, 0u);
}

}  // namespace
}  // namespace platform
