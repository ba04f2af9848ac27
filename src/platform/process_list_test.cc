// Waiting for a process and read-only folders are tested through their callers: start-up's tests
// and the swap program's.
#include "platform/process_list.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "platform/path.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

std::optional<ProcessInfo> Listed(int id) {
  for (const ProcessInfo& process : ListProcesses()) {
    if (process.id == id) return process;
  }
  return std::nullopt;
}

TEST(ProcessListTest, ListsProcessesByModuleAndStartTime) {
  const ProcessInfo self = Listed(getpid()).value();
  EXPECT_EQ(self.module, ToInternalPath(fs::read_symlink("/proc/self/exe").string()));
  EXPECT_EQ(self.start_time, CurrentProcessStartTime());
  EXPECT_GT(self.start_time, 0u);
  const fs::path folder = fs::temp_directory_path() / ("process_list_" + std::to_string(getpid()));
  fs::create_directories(folder);
  const fs::path game = folder / "Game.EXE";
  fs::copy_file("/bin/sleep", game);
  const pid_t id = fork();
  if (id == 0) {
    execl(game.c_str(), "Game.EXE", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Until exec has happened the child still runs this test's module.
  const std::string module = ToInternalPath(game.string());
  for (int i = 0; i < 500 && Listed(id).value_or(self).module != module; ++i) usleep(2000);
  EXPECT_GE(Listed(id).value_or(self).start_time, self.start_time);
  // A module removed while it runs is still reported under its path.
  fs::remove_all(folder);
  EXPECT_EQ(Listed(id).value_or(self).module, module);
  kill(id, SIGKILL);
  waitpid(id, nullptr, 0);
  EXPECT_FALSE(Listed(id).has_value());
}

}  // namespace
}  // namespace platform
