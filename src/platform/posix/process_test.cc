// What only the POSIX process code does: named locks kept as files. The process list read from
// /proc, waiting for a process and read-only folders are tested through their callers: app_test
// (the system's processes, start-up) and the swap program's tests; case and the one-holder rule of
// locks are the shared test's (process_test.cc).
#include "platform/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/named_mutex.h"
#include "platform/testing/scratch_folder.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// Every test keeps its locks in a folder of its own.
class PosixNamedMutexTest : public test_support::ScratchFolderTest {
 protected:
  void SetUp() override { setenv("XDG_RUNTIME_DIR", root_.c_str(), 1); }
  void TearDown() override { unsetenv("XDG_RUNTIME_DIR"); }
};

// Names held by what is not this user's lock.
TEST_F(PosixNamedMutexTest, NamesHeldByAnotherKindOrAnotherUser) {
  NamedMutex mutex;
  ASSERT_EQ(mutex.Create("taken"), NamedMutex::kCreated);
  mutex.Close();
  const fs::path lock = fs::directory_iterator(root_)->path();
  fs::remove(lock);
  fs::create_directory(lock);
  EXPECT_EQ(mutex.Create("taken"), NamedMutex::kOtherKind);
  EXPECT_FALSE(mutex.IsOpen());
  // Another user's file under the name: not this user's lock, so nothing to wait for.
  fs::remove(lock);
  test_support::WriteFile(lock, "1\n");
  if (chown(lock.c_str(), 4242, 4242) != 0) GTEST_SKIP() << "needs to run as root";
  EXPECT_EQ(mutex.Create("taken"), NamedMutex::kCreated);
  EXPECT_FALSE(mutex.IsOpen());
}

TEST_F(PosixNamedMutexTest, ReleasedWhenTheHolderDiesAndNotInheritedByItsChildren) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    NamedMutex mutex;
    char result = static_cast<char>(mutex.Create("crash"));
    // Started while the lock is held; found along PATH.
    if (!StartProcess("sleep 5", Path())) result = -2;
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
