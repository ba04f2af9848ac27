// Case and the one-holder rule are also the single-instance check's tests (app_test).
#include "platform/named_mutex.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/path.h"
#include "platform/process.h"
#include "platform/testing/scratch_folder.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// Every test keeps its locks in a folder of its own.
class NamedMutexTest : public testing::Test {
 protected:
  void SetUp() override { setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1); }
  void TearDown() override { unsetenv("XDG_RUNTIME_DIR"); }
  const test_support::TempFolder scratch_{"varne-mutex"};
  const fs::path folder_ = scratch_.GetPath();
};

TEST_F(NamedMutexTest, OneHolderPerNameUntilItLetsGo) {
  NamedMutex first, second, long_name;
  // Names longer than a file name stay apart.
  EXPECT_EQ(long_name.Create(std::string(400, 'x') + "a"), NamedMutex::kCreated);
  EXPECT_EQ(second.Create(std::string(400, 'x') + "a"), NamedMutex::kExists);  // held, not refused
  EXPECT_EQ(second.Create(std::string(400, 'x') + "b"), NamedMutex::kCreated);
  EXPECT_EQ(first.Create("?opt?game?RV7.EXE"), NamedMutex::kCreated);
  EXPECT_EQ(second.Create("?opt?game?RV7.EXE"), NamedMutex::kExists);
  EXPECT_EQ(second.HolderProcessId(), getpid());
  // Create again releases what was held before.
  EXPECT_EQ(first.Create("another"), NamedMutex::kCreated);
  EXPECT_EQ(second.Create("?opt?game?RV7.EXE"), NamedMutex::kCreated);
}

TEST_F(NamedMutexTest, NameOfAnotherKindOfObjectOrOfAnotherUser) {
  NamedMutex mutex;
  ASSERT_EQ(mutex.Create("taken"), NamedMutex::kCreated);
  mutex.Close();
  const fs::path lock = fs::directory_iterator(folder_)->path();
  fs::remove(lock);
  fs::create_directory(lock);
  EXPECT_EQ(mutex.Create("taken"), NamedMutex::kOtherKind);
  EXPECT_FALSE(mutex.IsOpen());
  mutex.Wait();  // nothing open: returns at once

  // Another user's file under the name: not this user's lock, so nothing to wait for.
  fs::remove(lock);
  test_support::WriteFile(lock, "1\n");
  if (chown(lock.c_str(), 4242, 4242) != 0) GTEST_SKIP() << "needs to run as root";
  EXPECT_EQ(mutex.Create("taken"), NamedMutex::kCreated);
  EXPECT_FALSE(mutex.IsOpen());
}

TEST_F(NamedMutexTest, ReleasedWhenTheHolderDiesAndNotInheritedByItsChildren) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    NamedMutex mutex;
    char result = static_cast<char>(mutex.Create("crash"));
    // Started while the lock is held; found along PATH.
    if (!StartProcess("sleep 5", ToInternalPath(folder_.string()))) result = -2;
    [[maybe_unused]] auto written = write(ready[1], &result, 1);
    pause();
    _exit(0);
  }
  char result = -1;
  ASSERT_EQ(read(ready[0], &result, 1), 1);
  EXPECT_EQ(result, NamedMutex::kCreated);
  NamedMutex mutex;
  EXPECT_EQ(mutex.Create("crash"), NamedMutex::kExists);
  EXPECT_EQ(mutex.HolderProcessId(), holder);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  // Free at once: the child that the holder started does not keep it.
  EXPECT_EQ(mutex.Create("crash"), NamedMutex::kCreated);
  EXPECT_EQ(mutex.HolderProcessId(), getpid());
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
}  // namespace platform
