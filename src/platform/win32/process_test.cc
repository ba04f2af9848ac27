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

// Entry points for copies of this program that the tests below start: each runs in the folder it
// was started in, and ends when "stop" appears there (or after ten seconds).
void WaitForStop() {
  for (int i = 0; i < 500 && !PathExists("stop"); ++i) Sleep(20);
}

TEST(WindowsChild, DISABLED_Wait) {
  std::ofstream("parent.tmp") << ParentProcessId();
  std::filesystem::rename("parent.tmp", "parent");  // whole when it appears
  WaitForStop();
}

TEST(WindowsChild, DISABLED_HoldLock) {
  NamedMutex mutex;
  ASSERT_EQ(mutex.Create("varne test crash"), NamedMutex::kCreated);
  std::ofstream("held.tmp") << CurrentProcessId();
  std::filesystem::rename("held.tmp", "held");
  WaitForStop();
}

std::string ChildCommand(const std::string& program, const std::string& test) {
  return program + " --gtest_also_run_disabled_tests --gtest_filter=WindowsChild." + test;
}

using WindowsProcessTest = test_support::ScratchFolderTest;

TEST_F(WindowsProcessTest, StartsAProgramInItsFolderWithoutRegardToCase) {
  CopyTestProgram("Bin\\Game.exe");
  // gtest writes its report into the working folder: proof of the folder and the arguments.
  ASSERT_TRUE(StartProcess("bin\\GAME.EXE --gtest_filter=None \"--gtest_output=xml:started 1.xml\"",
                           Path()));
  EXPECT_TRUE(AppearsWithin("started 1.xml", 10000));
  ASSERT_TRUE(StartProcess(
      "\"" + Path("BIN\\game") + "\" --gtest_filter=None --gtest_output=xml:started2.xml", "C:\\"));
  EXPECT_FALSE(StartProcess("missing\\game.exe", Path()));
  EXPECT_FALSE(StartProcess("no-such-program-anywhere", Path()));
  EXPECT_FALSE(StartProcess("", Path()));
  EXPECT_TRUE(StartProcess("cmd.exe /c exit", Path()));  // found along PATH
  EXPECT_EQ(GetFullPath(GetModuleFileName()), GetModuleFileName());
}

TEST_F(WindowsProcessTest, ListsProcessesByTheirModuleOnDisk) {
  CopyTestProgram("Bin\\Waiter.exe");
  ASSERT_TRUE(StartProcess(ChildCommand("bin\\WAITER.exe", "DISABLED_Wait"), Path()));
  const std::string module = ModulePathOf(Path("BIN\\.\\waiter.EXE"));
  EXPECT_EQ(module, Path("Bin\\Waiter.exe"));
  int child = 0;
  for (int i = 0; i < 250 && child == 0; ++i) {
    for (const ProcessInfo& process : ListProcesses()) {
      if (process.module == module) child = process.id;
      if (process.id == CurrentProcessId()) {
        EXPECT_EQ(process.module, ModulePathOf(GetModuleFileName()));
        EXPECT_EQ(process.start_time, CurrentProcessStartTime());
      }
    }
    if (child == 0) Sleep(20);
  }
  ASSERT_NE(child, 0);
  ASSERT_TRUE(AppearsWithin("parent", 10000));
  EXPECT_EQ(Get("parent"), std::to_string(CurrentProcessId()));
  EXPECT_FALSE(WaitForProcessExit(child, 50));
  Put("stop", "");
  EXPECT_TRUE(WaitForProcessExit(child, 10000));
  EXPECT_TRUE(WaitForProcessExit(999999, -1));  // never ran
}

TEST_F(WindowsProcessTest, NamedMutexIsOneHolderPerNameUntilItLetsGo) {
  NamedMutex first, second, other_case, long_name;
  EXPECT_EQ(first.Create("C:\\Games\\RV7.EXE"), NamedMutex::kCreated);
  EXPECT_EQ(first.HolderProcessId(), CurrentProcessId());
  EXPECT_EQ(second.Create("C:\\Games\\RV7.EXE"), NamedMutex::kExists);
  EXPECT_EQ(second.HolderProcessId(), CurrentProcessId());
  EXPECT_EQ(other_case.Create("C:\\games\\RV7.EXE"), NamedMutex::kCreated);
  // Names longer than an object name stay apart.
  EXPECT_EQ(long_name.Create(std::string(400, 'x') + "a"), NamedMutex::kCreated);
  EXPECT_EQ(second.Create(std::string(400, 'x') + "b"), NamedMutex::kCreated);
  first.Wait();  // held already: returns at once
  first.Close();
  EXPECT_EQ(second.Create("C:\\Games\\RV7.EXE"), NamedMutex::kCreated);
  EXPECT_EQ(first.Create("C:\\Games\\RV7.EXE"), NamedMutex::kExists);
  second.Close();
  first.Wait();
  EXPECT_EQ(second.Create("C:\\Games\\RV7.EXE"), NamedMutex::kExists);

  // A name that another kind of object holds.
  const HANDLE event = CreateEventA(nullptr, FALSE, FALSE, "varne-mutex-taken");
  EXPECT_EQ(first.Create("taken"), NamedMutex::kOtherKind);
  EXPECT_FALSE(first.IsOpen());
  first.Wait();  // nothing open: returns at once
  CloseHandle(event);
}

TEST_F(WindowsProcessTest, NamedMutexIsReleasedWhenTheHolderDies) {
  CopyTestProgram("holder.exe");
  ASSERT_TRUE(StartProcess(ChildCommand("holder.exe", "DISABLED_HoldLock"), Path()));
  ASSERT_TRUE(AppearsWithin("held", 10000));
  NamedMutex mutex;
  EXPECT_EQ(mutex.Create("varne test crash"), NamedMutex::kExists);
  const int holder = mutex.HolderProcessId();
  ASSERT_NE(holder, 0);
  EXPECT_NE(holder, CurrentProcessId());
  const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(holder));
  ASSERT_NE(process, nullptr);
  TerminateProcess(process, 9);
  CloseHandle(process);
  mutex.Wait();  // the dead holder's lock is free at once
  EXPECT_EQ(mutex.HolderProcessId(), CurrentProcessId());
}

}  // namespace
}  // namespace platform
