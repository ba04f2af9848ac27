#include "platform/process.h"

#include <gtest/gtest.h>
#include <windows.h>
#undef GetModuleFileName  // platform::GetModuleFileName, not the system's macro

#include <fstream>

#include "platform/file.h"
#include "platform/named_mutex.h"
#include "platform/process_list.h"
#include "platform/testing/scratch_folder.h"

namespace platform {
namespace {

// The entry point of the copies of this program that the tests below start: each runs in the
// folder it was started in, takes a lock, tells who started it, and waits to be ended.
TEST(WindowsChild, DISABLED_HoldLock) {
  NamedMutex mutex;
  ASSERT_EQ(mutex.Create("varne test crash"), NamedMutex::kCreated);
  std::ofstream("parent.tmp") << ParentProcessId();
  std::filesystem::rename("parent.tmp", "parent");  // whole when it appears
  Sleep(10000);
}

using WindowsProcessTest = test_support::ScratchFolderTest;

// Where a program is looked for beyond the cases of the system processes' test (app_test).
TEST_F(WindowsProcessTest, FindsProgramsWithoutTheirExtensionAndAlongPath) {
  CopyTestProgram("Bin\\Game.exe");
  EXPECT_TRUE(StartProcess("\"" + Path("BIN\\game") + "\" --gtest_filter=None", "C:\\"));
  EXPECT_TRUE(StartProcess("cmd.exe /c exit", Path()));
  // An unquoted program name with blanks in it, read as the system reads such a line.
  CopyTestProgram("Bin\\My Game\\Game.exe");
  EXPECT_TRUE(StartProcess("bin\\my game\\game.exe --gtest_filter=None", Path()));
  EXPECT_EQ(GetFullPath(GetModuleFileName()), GetModuleFileName());
}

TEST_F(WindowsProcessTest, ListsACopyByItsModuleAndItsLockGoesWhenItIsKilled) {
  CopyTestProgram("Bin\\Holder.exe");
  ASSERT_TRUE(StartProcess(
      "bin\\HOLDER.exe --gtest_also_run_disabled_tests --gtest_filter=WindowsChild.*", Path()));
  const std::string module = Path("Bin\\Holder.exe");
  ASSERT_TRUE(AppearsWithin("parent", 10));  // written once the lock is held
  EXPECT_EQ(Read("parent"), std::to_string(CurrentProcessId()));
  int child = 0;
  for (const ProcessInfo& process : ListProcesses()) {
    if (process.module == module) child = process.id;
    if (process.id == CurrentProcessId()) {
      EXPECT_EQ(process.module, ModulePathOf(GetModuleFileName()));
      EXPECT_EQ(process.start_time, CurrentProcessStartTime());
    }
  }
  ASSERT_NE(child, 0);
  NamedMutex mutex;
  EXPECT_EQ(mutex.Create("varne test crash"), NamedMutex::kExists);
  EXPECT_EQ(mutex.HolderProcessId(), child);
  {
    const NativeHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(child)));
    ASSERT_TRUE(process.Valid());
    TerminateProcess(process.Get(), 9);
  }
  EXPECT_TRUE(WaitForProcessExit(child, 10000));
  mutex.Wait();  // the dead holder's lock is free at once
  EXPECT_EQ(mutex.HolderProcessId(), CurrentProcessId());
  EXPECT_TRUE(WaitForProcessExit(999999, -1));  // never ran
}

// The lock is the system's object of that very name, so any program that opens or holds the name
// meets it; a name that another kind of object holds.
TEST(WindowsNamedMutexTest, TheLockIsTheSystemsObjectOfItsName) {
  NamedMutex mutex;
  EXPECT_EQ(mutex.Create("?C:?Games?RV7.EXE"), NamedMutex::kCreated);
  EXPECT_TRUE(NativeHandle(OpenMutexA(SYNCHRONIZE, FALSE, "?C:?Games?RV7.EXE")).Valid());
  const NativeHandle event(CreateEventA(nullptr, FALSE, FALSE, "taken"));
  EXPECT_EQ(mutex.Create("taken"), NamedMutex::kOtherKind);
  EXPECT_FALSE(mutex.IsOpen());
}

}  // namespace
}  // namespace platform
