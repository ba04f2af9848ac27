#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "app/mutex.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kProbe = VARNE_BINARY_DIR "/bin/single_app_probe";

int ExitStatus(pid_t id) {
  int status = -1;
  waitpid(id, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t Spawn(const std::string& program, const std::string& argument) {
  const pid_t id = fork();
  if (id == 0) {
    execl(program.c_str(), program.c_str(), "-c", argument.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return id;
}

// The probe started through a shell, so that its parent is not the holder of the name.
pid_t StartUnrelated(const std::string& name) {
  return Spawn("/bin/sh", "\"" + kProbe + "\" '" + name + "'; exit $?");
}

// The probe started by this process, as an ending updater starts its restart.
pid_t StartChild(const std::string& name) {
  const pid_t id = fork();
  if (id == 0) {
    execl(kProbe.c_str(), kProbe.c_str(), name.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return id;
}

TEST(SingleInstanceTest, AnotherCopyGivesUpButARestartWaitsForItsStarter) {
  unsetenv("DISPLAY");
  const std::string name = "?tmp?single_instance_" + std::to_string(getpid()) + "?RV7.EXE";
  EXPECT_EQ(ExitStatus(StartUnrelated(name)), 0);  // free: the probe runs
  Mutex first;
  ASSERT_EQ(first.Create(name), 0);
  EXPECT_EQ(ExitStatus(StartUnrelated(name)), 2);

  const pid_t restart = StartChild(name);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(waitpid(restart, nullptr, WNOHANG), 0);  // still waiting for the holder
  const auto released = Clock::now();
  first.Close();
  EXPECT_EQ(ExitStatus(restart), 0);
  EXPECT_LT(Clock::now() - released, std::chrono::seconds(5));
}

}  // namespace
