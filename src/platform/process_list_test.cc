// Waiting for a process and moving a file over another are tested through their callers: the
// window finder's tests and the swap program's.
#include "platform/process_list.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/folder_access.h"
#include "platform/path.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

class ProcessListTest : public testing::Test {
 protected:
  void SetUp() override { fs::create_directories(folder_ / "Bin"); }
  void TearDown() override {
    fs::permissions(folder_ / "Bin", fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(folder_);
  }
  static std::string ModuleOfId(int id) {
    for (const ProcessInfo& process : ListProcesses()) {
      if (process.id == id) return process.module;
    }
    return {};
  }
  std::string Internal(const std::string& name) const {
    return ToInternalPath((folder_ / name).string());
  }
  const fs::path folder_ = fs::temp_directory_path() / ("process_list_" + std::to_string(getpid()));
};

TEST_F(ProcessListTest, ListsProcessesByModuleAndStartTime) {
  EXPECT_EQ(ModuleOfId(getpid()), ToInternalPath(fs::read_symlink("/proc/self/exe").string()));
  fs::copy_file("/bin/sleep", folder_ / "Bin/Game.EXE");
  const pid_t game = fork();
  if (game == 0) {
    execl((folder_ / "Bin/Game.EXE").c_str(), "Game.EXE", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Until exec has happened the child still runs this test's module.
  for (int i = 0; i < 500 && ModuleOfId(game) != Internal("Bin/Game.EXE"); ++i) usleep(2000);
  std::uint64_t started = 0;
  for (const ProcessInfo& process : ListProcesses()) {
    if (process.id == game) started = process.start_time;
  }
  EXPECT_GE(started, CurrentProcessStartTime());
  // A module removed while it runs is still reported under its path.
  fs::remove(folder_ / "Bin/Game.EXE");
  EXPECT_EQ(ModuleOfId(game), Internal("Bin/Game.EXE"));
  kill(game, SIGKILL);
  waitpid(game, nullptr, 0);
  EXPECT_EQ(ModuleOfId(game), "");
}

TEST_F(ProcessListTest, ReadOnlyFolders) {
  EXPECT_TRUE(IsFolderWritable(Internal("bin")));  // found without regard to case
  // No write bit for anyone: read-only even for a process that may write anywhere.
  fs::permissions(folder_ / "Bin", fs::perms::owner_read | fs::perms::owner_exec);
  for (const std::string& path : {Internal("Bin"), Internal("missing"), std::string("\\proc\\1")}) {
    EXPECT_FALSE(IsFolderWritable(path)) << path;
  }
}

}  // namespace
}  // namespace platform
