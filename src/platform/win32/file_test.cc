#include "platform/file.h"

#include <gtest/gtest.h>
#include <windows.h>
#undef GetModuleFileName  // platform::GetModuleFileName, not the system's macro

#include "platform/file_move.h"
#include "platform/file_stamp.h"
#include "platform/folder_access.h"
#include "platform/testing/scratch_folder.h"

namespace platform {
namespace {

using WindowsFileTest = test_support::ScratchFolderTest;

TEST_F(WindowsFileTest, OpenFailuresAreClassified) {
  Write("there.txt", "x");
  std::filesystem::create_directories(root_ / "folder");
  // Sharing is the system's own: a reader that denies writing refuses even writers that deny
  // nothing.
  File reader;
  ASSERT_EQ(
      reader.Open(Path("there.txt"), Access::kRead, Share::kDenyWrite, Disposition::kOpenExisting),
      OpenError::kNone);
  const auto open = [&](const std::string& name, Disposition disposition) {
    File file;
    const OpenError error = file.Open(Path(name), Access::kWrite, Share::kReadWrite, disposition);
    EXPECT_FALSE(file.IsOpen()) << name;
    return error;
  };
  EXPECT_EQ(open("there.txt", Disposition::kOpenExisting), OpenError::kDenied);
  // The system refuses a folder as "denied"; a device name in any folder is no file.
  EXPECT_EQ(open("folder", Disposition::kOpenExisting), OpenError::kOther);
  EXPECT_EQ(open("con.txt", Disposition::kOpenAlways), OpenError::kOther);
  EXPECT_TRUE(IsSpecialFile(Path("nul")));
  EXPECT_TRUE(IsSpecialFile(Path("COM1.log")));
  EXPECT_FALSE(IsSpecialFile(Path("COM10.log")));
  EXPECT_FALSE(IsRegularFile(Path("folder")));
  EXPECT_TRUE(IsRegularFile(Path("THERE.TXT")));
}

TEST_F(WindowsFileTest, StampsAndWritableFolders) {
  Write("a.txt", "one");
  const FileStamp before = StampOf(Path("a.txt")).value();
  EXPECT_EQ(before.size, 3);
  EXPECT_LE(before.changed_ns, FileClockNow());
  EXPECT_GT(before.changed_ns, FileClockNow() - 60'000'000'000);
  Write("b.txt", "two");
  ASSERT_TRUE(MoveFileReplacing(Path("b.txt"), Path("a.txt")));
  const FileStamp after = StampOf(Path("a.txt")).value();
  EXPECT_NE(after.file_id, before.file_id);
  EXPECT_EQ(after.device, before.device);
  EXPECT_FALSE(StampOf(Path("missing")).has_value());

  SequentialFile file;
  ASSERT_EQ(file.Open(Path("A.TXT")), SequentialOpen::kOpened);
  EXPECT_EQ(file.Stamp(), after);
  EXPECT_EQ(SequentialFile().Open(Path()), SequentialOpen::kNotRegular);

  EXPECT_TRUE(IsFolderWritable(Path()));
  EXPECT_FALSE(IsFolderWritable(Path("missing")));
  EXPECT_FALSE(IsFolderWritable(Path("a.txt")));
  const std::wstring folder = root_.wstring();
  SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_READONLY);
  // Wine keeps no read-only attribute on folders.
  if ((GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_READONLY) != 0) {
    EXPECT_FALSE(IsFolderWritable(Path()));
  }
  SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
}  // namespace platform
