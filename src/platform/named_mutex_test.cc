#include "platform/named_mutex.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/path.h"
#include "platform/process.h"

namespace platform {
namespace {

// Every test keeps its locks in a folder of its own.
class NamedMutexTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() / ("named_mutex_" + std::to_string(getpid()));
    std::filesystem::create_directories(folder_);
    setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("XDG_RUNTIME_DIR");
    std::filesystem::remove_all(folder_);
  }
  std::filesystem::path folder_;
};

TEST_F(NamedMutexTest, OneHolderPerNameUntilItLetsGo) {
  NamedMutex first, second, other_case, long_name, other_long_name;
  EXPECT_EQ(first.Create("?opt?game?RV7.EXE"), NamedMutex::kCreated);
  EXPECT_EQ(first.HolderProcessId(), getpid());
  EXPECT_EQ(second.Create("?opt?game?RV7.EXE"), NamedMutex::kExists);
  EXPECT_EQ(second.HolderProcessId(), getpid());
  EXPECT_EQ(other_case.Create("?opt?Game?RV7.EXE"), NamedMutex::kCreated);
  // Names longer than a file name stay apart.
  EXPECT_EQ(long_name.Create(std::string(400, 'x') + "a"), NamedMutex::kCreated);
  EXPECT_EQ(other_long_name.Create(std::string(400, 'x') + "b"), NamedMutex::kCreated);
  first.Close();
  EXPECT_EQ(second.Create("?opt?game?RV7.EXE"), NamedMutex::kCreated);
  // Create again releases what was held before.
  EXPECT_EQ(second.Create("another"), NamedMutex::kCreated);
  EXPECT_EQ(first.Create("?opt?game?RV7.EXE"), NamedMutex::kCreated);
}

TEST_F(NamedMutexTest, NameOfAnotherKindOfObject) {
  NamedMutex mutex;
  ASSERT_EQ(mutex.Create("taken"), NamedMutex::kCreated);
  mutex.Close();
  for (const auto& item : std::filesystem::directory_iterator(folder_)) {
    std::filesystem::remove(item.path());
    std::filesystem::create_directory(item.path());
  }
  EXPECT_EQ(mutex.Create("taken"), NamedMutex::kOtherKind);
  EXPECT_FALSE(mutex.IsOpen());
  mutex.Wait();  // nothing open: returns at once
}

TEST_F(NamedMutexTest, ReleasedWhenTheHolderDiesAndNotInheritedByItsChildren) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    NamedMutex mutex;
    const char result = static_cast<char>(mutex.Create("crash"));
    // A child started while holding the lock must not keep it once the holder is gone.
    StartProcess("sleep 1", ToInternalPath(folder_.string()));
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
  mutex.Wait();  // the dead holder's lock is free at once
  EXPECT_EQ(mutex.HolderProcessId(), getpid());
  NamedMutex again;
  EXPECT_EQ(again.Create("crash"), NamedMutex::kExists);
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
}  // namespace platform
