// Names found without regard to case and modes: what only the POSIX file code does.
#include "platform/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/testing/scratch_folder.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

using PosixFileTest = test_support::ScratchFolderTest;

TEST_F(PosixFileTest, NamesAreFoundWithoutRegardToCase) {
  Write("Game\\Data\\RV7.vpk", "package");
  EXPECT_EQ(ReadWholeFile(Path("game\\DATA\\rv7.VPK")), "package");
  EXPECT_EQ(ResolvePath(Path("GAME\\data\\")), (root_ / "Game/Data/").string());
  // A new name keeps the case it was given, below the folders found without regard to case.
  EXPECT_EQ(ResolvePath(Path("GAME\\New\\File.TXT")), (root_ / "Game/New/File.TXT").string());
  // A folder renamed to another case after it was found is found again under its new name.
  fs::rename(root_ / "Game/Data", root_ / "Game/DATA2");
  fs::rename(root_ / "Game/DATA2", root_ / "Game/dAtA");
  EXPECT_EQ(ResolvePath(Path("game\\DATA\\rv7.VPK")), (root_ / "Game/dAtA/RV7.vpk").string());

  // The folder's names are kept between lookups: changes made past the file code must show at once.
  const fs::path folder = root_ / "Game/dAtA";
  EXPECT_EQ(ResolvePath(Path("game\\data\\save.dat")), (folder / "save.dat").string());
  Write("Game\\dAtA\\Save.DAT", "1");
  EXPECT_EQ(ResolvePath(Path("game\\data\\save.dat")), (folder / "Save.DAT").string());
  fs::rename(folder / "Save.DAT", folder / "SAVE.dat");
  EXPECT_EQ(ResolvePath(Path("game\\data\\save.dat")), (folder / "SAVE.dat").string());
  Write("Game\\dAtA\\save.DAT", "2");  // two names of one form: either may be found
  const std::string first = ResolvePath(Path("game\\data\\SAVE.DAT"));
  fs::remove(first);
  const std::string second = ResolvePath(Path("game\\data\\SAVE.DAT"));
  EXPECT_NE(second, first);
  fs::remove(second);
  EXPECT_EQ(ResolvePath(Path("game\\data\\save.dat")), (folder / "save.dat").string());
}

// A replacement of plain text is not made executable and a part keeps the mode of the file it
// replaces (kept modes and new programs' execute bits of replacements are the update run's tests,
// update_test); a part is never written through a link or into a pipe planted under its name.
TEST_F(PosixFileTest, CommittedModesAndNoPartWrittenThroughALink) {
  ReplacementFile text;
  ASSERT_TRUE(text.Create(Path("notes.txt")));
  ASSERT_TRUE(text.Commit());
  EXPECT_EQ(fs::status(Native("notes.txt")).permissions() & fs::perms(0111), fs::perms::none);
  Write("run.sh", "old");
  const fs::perms mode = fs::perms::owner_all | fs::perms::group_read;
  fs::permissions(Native("run.sh"), mode);
  ResumableFile file;
  ASSERT_TRUE(file.Open(Path("run.sh")));
  ASSERT_TRUE(file.Commit());
  EXPECT_EQ(fs::status(Native("run.sh")).permissions(), mode);

  // Links planted under the part's name (one leads nowhere) and a pipe: each part made anew.
  Write("victim", "keep");
  fs::create_symlink(Native("victim"), Native(ResumablePartName("run.sh")));
  fs::create_symlink(Native("nowhere"), Native(ResumablePartName("new.bin")));
  ASSERT_EQ(::mkfifo(Native(ResumablePartName("piped.bin")).c_str(), 0600), 0);
  for (const char* name : {"run.sh", "new.bin", "piped.bin"}) {
    ResumableFile part;
    ASSERT_TRUE(part.Open(Path(name))) << name;
    EXPECT_EQ(part.Write("new", 3), 3u) << name;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Native(ResumablePartName(name))))) << name;
  }
  EXPECT_EQ(Read("victim"), "keep");
  EXPECT_FALSE(fs::exists(Native("nowhere")));
  // A link at the destination itself is refused.
  fs::create_symlink(Native("victim"), Native("link"));
  EXPECT_FALSE(ResumableFile().Open(Path("link")));
}

}  // namespace
}  // namespace platform
