// What the file code does alike on both systems, through paths below a Japanese folder name.
#include "platform/file.h"

#include <gtest/gtest.h>

#include "platform/file_move.h"
#include "platform/file_stamp.h"
#include "platform/process_list.h"
#include "platform/testing/fault_injection.h"
#include "platform/testing/scratch_folder.h"

namespace platform {
namespace {

using FileTest = test_support::ScratchFolderTest;

// How each refusal is classified, and readers kept out by a writer, are the storage layer's
// DefaultFile test.
TEST_F(FileTest, ReadersThatDenyWritingShareAndKeepWritersOut) {
  Write("shared.bin", "x");
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
  EXPECT_EQ(Read("shared.bin"), "x");
  reader.Close();
  other_reader.Close();
  ASSERT_EQ(writer.Open(path, Access::kWrite, Share::kDenyWrite, Disposition::kOpenExisting),
            OpenError::kNone);
  EXPECT_EQ(SequentialFile().Open(path), SequentialOpen::kFailed);
  // Readers that deny nothing still read while it is written.
  EXPECT_EQ(reader.Open(path, Access::kRead, Share::kReadWrite, Disposition::kOpenExisting),
            OpenError::kNone);
  // Others may still rename or remove a file that is held, as on Linux.
  EXPECT_TRUE(MoveFileReplacing(path, Path("moved.bin")));
  EXPECT_TRUE(RemoveFile(Path("moved.bin")));
}

// Japanese names, created, replaced and moved, keep every byte. Listing folders is the package
// tests' (VarneFileSystemTest), which load folders of such names.
TEST_F(FileTest, ReplacementsAndJapaneseNames) {
  const std::string folder = Path("表示フォルダ");
  ASSERT_TRUE(MakeDirectory(folder));
  EXPECT_FALSE(MakeDirectory(folder));
  const std::string name = folder + "\\ソ連.txt";  // "ソ" is 0x83 0x5C in code page 932
  for (const std::string bytes : {"first", "second"}) {
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
  EXPECT_TRUE(IsDirectory(Path("表示フォルダ\\")));
  EXPECT_FALSE(IsDirectory(name));

  Write("new.txt", "moved");
  ASSERT_TRUE(MoveFileReplacing(Path("new.txt"), name));
  EXPECT_EQ(ReadWholeFile(name), "moved");
  EXPECT_FALSE(PathExists(Path("new.txt")));
  EXPECT_FALSE(MoveFileReplacing(Path("new.txt"), name));
  EXPECT_TRUE(RemoveFile(name));
  EXPECT_FALSE(RemoveFile(name));
}

// "." and ".." go by name (".." at the root stays there), a trailing separator stays, and a
// relative path starts from the current folder.
TEST_F(FileTest, FullPathsDropDotsAndStartFromTheCurrentFolder) {
  const std::string root = Path().substr(0, Path().find('\\') + 1);  // "\\" or "C:\\"
  EXPECT_EQ(GetFullPath(root + "..\\x"), root + "x");
  EXPECT_EQ(GetFullPath(Path("x\\.\\y\\..\\z\\")), Path("x\\z\\"));
  const std::filesystem::path before = std::filesystem::current_path();
  ASSERT_TRUE(SetCurrentFolder(Path()));
  EXPECT_EQ(GetFullPath("sub\\file.txt"), Path("sub\\file.txt"));
  EXPECT_TRUE(IsDirectory("."));
  std::filesystem::current_path(before);  // Windows removes no folder that is current
}

// A cut run leaves its part for the next, which continues at a cut of its choice; only a
// successful Commit or Remove ends the part, and the destination is untouched until Commit.
TEST_F(FileTest, ResumablePartsOutliveTheirRunsUntilCommittedOrRemoved) {
  Write("game.pak", "old");
  const std::string destination = Path("game.pak"), part = ResumablePartName("game.pak");
  {
    ResumableFile cut;
    ASSERT_TRUE(cut.Open(destination));
    ASSERT_EQ(cut.Write("0123456789", 10), 10u);
  }
  EXPECT_EQ(RemoveAbandonedReplacements(Path()), 0);
  ResumableFile file;
  ASSERT_TRUE(file.Open(destination));
  ASSERT_EQ(file.Write("!", 1), 1u);  // where the cut run stopped
  char bytes[16] = {};
  EXPECT_EQ(file.ReadAt(6, bytes, sizeof bytes), 5);
  EXPECT_EQ(std::string(bytes, 5), "6789!");
  EXPECT_FALSE(file.Truncate(12));
  ASSERT_TRUE(file.Truncate(4));
  ASSERT_EQ(file.Write("ab", 2), 2u);
  // A read between appends does not move where the next one goes.
  EXPECT_EQ(file.ReadAt(0, bytes, sizeof bytes), 6);
  ASSERT_EQ(file.Write("c", 1), 1u);
  EXPECT_EQ(file.Length(), 7u);
  InjectReplaceFailure(true);
  EXPECT_FALSE(file.Commit());
  InjectReplaceFailure(false);
  EXPECT_EQ(Read("game.pak"), "old");
  EXPECT_EQ(Read(part), "0123abc");
  ASSERT_TRUE(file.Commit());
  EXPECT_EQ(Read("game.pak"), "0123abc");
  EXPECT_FALSE(PathExists(Path(part)));

  ResumableFile unwanted;
  ASSERT_TRUE(unwanted.Open(destination));
  unwanted.Remove();
  EXPECT_FALSE(PathExists(Path(part)));
}

// A second name of a file elsewhere on the volume, planted under a part's name, is no part: it is
// made anew, and the file it shares bytes with keeps them. A folder there is left, and refused.
TEST_F(FileTest, APartIsNeverWrittenThroughAnotherName) {
  Write("outside.dat", "keep");
  std::filesystem::create_hard_link(Native("outside.dat"), Native(ResumablePartName("game.pak")));
  ResumableFile file;
  ASSERT_TRUE(file.Open(Path("game.pak")));
  EXPECT_EQ(file.Length(), 0u);
  ASSERT_EQ(file.Write("new", 3), 3u);
  ASSERT_TRUE(file.Commit());
  EXPECT_EQ(Read("game.pak"), "new");
  EXPECT_EQ(Read("outside.dat"), "keep");
  std::filesystem::create_directories(Native(ResumablePartName("other.pak")));
  EXPECT_FALSE(ResumableFile().Open(Path("other.pak")));
  EXPECT_TRUE(IsDirectory(Path(ResumablePartName("other.pak"))));
}

TEST_F(FileTest, AbandonedReplacementsOfEndedWritersGo) {
  const std::string own = ".a.txt." + std::to_string(CurrentProcessId()) + "-1.rv7new.tmp";
  // No process has the id 4194305: above Linux's highest, and Windows' ids are multiples of four.
  const std::string ended = ".b.txt.4194305-1.rv7new.tmp";
  for (const std::string& name :
       {own, ended, std::string(".c.txt.x-1.rv7new.tmp"), std::string("d.txt.4194305-1.rv7new.tmp"),
        std::string(".e.txt.4194305-1.tmp")}) {  // the last: a user's
    Write(name, "");
  }
  EXPECT_EQ(RemoveAbandonedReplacements(Path()), 1);
  EXPECT_TRUE(PathExists(Path(own)));
  EXPECT_FALSE(PathExists(Path(ended)));
}

}  // namespace
}  // namespace platform
