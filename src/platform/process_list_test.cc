#include "platform/process_list.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "platform/file_move.h"
#include "platform/folder_access.h"
#include "platform/path.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

class ProcessListTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("process_list_" + std::to_string(getpid()));
    fs::create_directories(folder_ / "Bin");
  }
  void TearDown() override {
    fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(folder_);
  }
  // Runs a copy of sleep under `name`; the caller ends it.
  pid_t StartCopy(const std::string& name, const char* seconds) {
    fs::copy_file("/bin/sleep", folder_ / name, fs::copy_options::overwrite_existing);
    const std::string path = (folder_ / name).string();
    const pid_t id = fork();
    if (id == 0) {
      execl(path.c_str(), path.c_str(), seconds, static_cast<char*>(nullptr));
      _exit(127);
    }
    // Until exec has happened the child still runs this test's module.
    for (int i = 0; i < 500 && ModuleOfId(id) != ToInternalPath(path); ++i) usleep(2000);
    return id;
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
  fs::path folder_;
};

TEST_F(ProcessListTest, ListsProcessesByModuleInStartOrder) {
  EXPECT_EQ(ModuleOfId(getpid()), ToInternalPath(fs::read_symlink("/proc/self/exe").string()));
  EXPECT_EQ(CurrentProcessId(), getpid());
  EXPECT_EQ(ParentProcessId(), getppid());
  const pid_t game = StartCopy("Bin/Game.EXE", "30");
  EXPECT_EQ(ModuleOfId(game), Internal("Bin/Game.EXE"));
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

TEST_F(ProcessListTest, ModulePathsTakeTheNamesOnDisk) {
  std::ofstream(folder_ / "Bin" / "Game.EXE") << "x";
  EXPECT_EQ(ModulePathOf(Internal("bin/x/../game.exe")), Internal("Bin/Game.EXE"));
}

TEST_F(ProcessListTest, WaitsForTheEndOfAProcess) {
  const pid_t game = StartCopy("game", "30");
  const auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(WaitForProcessExit(game, 100));
  EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));
  kill(game, SIGKILL);
  // Ended but not yet collected by its parent (this test): that counts as ended.
  EXPECT_TRUE(WaitForProcessExit(game, -1));
  waitpid(game, nullptr, 0);
  EXPECT_TRUE(WaitForProcessExit(game, 0));
  const pid_t quick = StartCopy("quick", "0.2");
  EXPECT_TRUE(WaitForProcessExit(quick, -1));
  waitpid(quick, nullptr, 0);
}

TEST_F(ProcessListTest, ReadOnlyFolders) {
  EXPECT_TRUE(IsFolderWritable(Internal("Bin")));
  EXPECT_TRUE(IsFolderWritable(Internal("bin")));  // found without regard to case
  // No write bit for anyone: read-only even for a process that may write anywhere.
  fs::permissions(folder_ / "Bin", fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_FALSE(IsFolderWritable(Internal("Bin")));
  EXPECT_FALSE(IsFolderWritable(Internal("missing")));
  EXPECT_FALSE(IsFolderWritable("\\proc\\1"));
}

TEST_F(ProcessListTest, MovesAFileOverAnotherKeepingItsMode) {
  std::ofstream(folder_ / "RV7WIN9XME.EXE") << "old";
  std::ofstream(folder_ / "RV7WIN9XME.SWAP") << "new";
  chmod((folder_ / "RV7WIN9XME.EXE").c_str(), 0750);
  chmod((folder_ / "RV7WIN9XME.SWAP").c_str(), 0600);
  EXPECT_TRUE(MoveFileReplacing(Internal("rv7win9xme.swap"), Internal("rv7win9xme.exe")));
  EXPECT_FALSE(fs::exists(folder_ / "RV7WIN9XME.SWAP"));
  std::ifstream moved(folder_ / "RV7WIN9XME.EXE");
  std::string text;
  moved >> text;
  EXPECT_EQ(text, "new");
  EXPECT_EQ(fs::status(folder_ / "RV7WIN9XME.EXE").permissions(), static_cast<fs::perms>(0750));
  EXPECT_FALSE(MoveFileReplacing(Internal("RV7WIN9XME.SWAP"), Internal("RV7WIN9XME.EXE")));
  EXPECT_TRUE(fs::exists(folder_ / "RV7WIN9XME.EXE"));
}

}  // namespace
}  // namespace platform
