#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "platform/path.h"
#include "platform/process_list.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class SwapTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("swap_test_" + std::to_string(getpid()));
    fs::create_directories(folder_);
    fs::copy_file(fs::path(VARNE_BINARY_DIR) / "bin" / "rv7swap_ansi.exe",
                  folder_ / "rv7swap_ansi.exe");
  }
  void TearDown() override {
    for (const pid_t id : started_) {
      kill(id, SIGKILL);
      waitpid(id, nullptr, 0);
    }
    fs::remove_all(folder_);
  }

  // Runs `name` in the install folder; returns once its own program runs.
  pid_t Start(const std::string& name, const char* argument = nullptr) {
    const std::string path = (folder_ / name).string();
    const pid_t id = fork();
    if (id == 0) {
      if (chdir(folder_.c_str()) != 0) _exit(126);
      execl(path.c_str(), path.c_str(), argument, static_cast<char*>(nullptr));
      _exit(127);
    }
    started_.push_back(id);
    const std::string module = platform::ToInternalPath(path);
    for (int i = 0; i < 500 && !Runs(id, module); ++i) usleep(2000);
    return id;
  }
  static bool Runs(pid_t id, const std::string& module) {
    for (const auto& process : platform::ListProcesses()) {
      if (process.id == id) return process.module == module;
    }
    return false;
  }
  // An updater that runs for `seconds`: a copy of sleep under the updater's name.
  pid_t StartUpdater(const char* seconds) {
    fs::copy_file("/bin/sleep", folder_ / "RV7WIN9XME.EXE", fs::copy_options::overwrite_existing);
    return Start("RV7WIN9XME.EXE", seconds);
  }
  void WriteNewUpdater() {
    std::ofstream(folder_ / "RV7WIN9XME.SWAP") << "#!/bin/sh\necho new\n";
    chmod((folder_ / "RV7WIN9XME.SWAP").c_str(), 0600);
  }
  int ExitStatus(pid_t id) {
    int status = -1;
    waitpid(id, &status, 0);
    std::erase(started_, id);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(folder_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path folder_;
  std::vector<pid_t> started_;
};

TEST_F(SwapTest, ReplacesTheUpdaterOnceItHasEnded) {
  const pid_t updater = StartUpdater("0.6");
  chmod((folder_ / "RV7WIN9XME.EXE").c_str(), 0751);
  WriteNewUpdater();
  const auto before = Clock::now();
  const pid_t swap = Start("rv7swap_ansi.exe");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(fs::exists(folder_ / "RV7WIN9XME.SWAP"));  // not while the updater runs
  // Like the updater's own parent, this test collects the updater only after the swap is done:
  // an ended process that was not collected yet does not hold the swap up.
  EXPECT_EQ(ExitStatus(swap), 0);
  EXPECT_GE(Clock::now() - before, std::chrono::milliseconds(500));
  EXPECT_EQ(ExitStatus(updater), 0);
  EXPECT_EQ(Read("RV7WIN9XME.EXE"), "#!/bin/sh\necho new\n");
  EXPECT_FALSE(fs::exists(folder_ / "RV7WIN9XME.SWAP"));
  EXPECT_EQ(fs::status(folder_ / "RV7WIN9XME.EXE").permissions(), static_cast<fs::perms>(0751));
}

// The ending updater may start a new copy of itself right after the swap program; that copy waits
// for the swap program, so the swap program must not wait for it.
TEST_F(SwapTest, DoesNotWaitForAnUpdaterStartedAfterIt) {
  const pid_t old_updater = StartUpdater("0.3");
  WriteNewUpdater();
  const auto before = Clock::now();
  const pid_t swap = Start("rv7swap_ansi.exe");
  const pid_t restarted = Start("RV7WIN9XME.EXE", "30");
  EXPECT_EQ(ExitStatus(swap), 0);
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(10));
  EXPECT_EQ(Read("RV7WIN9XME.EXE"), "#!/bin/sh\necho new\n");
  EXPECT_TRUE(Runs(restarted, platform::ToInternalPath((folder_ / "RV7WIN9XME.EXE").string())));
  ExitStatus(old_updater);
}

TEST_F(SwapTest, NothingToSwapOrNoWayToSwapIt) {
  std::ofstream(folder_ / "RV7WIN9XME.EXE") << "old";
  EXPECT_EQ(ExitStatus(Start("rv7swap_ansi.exe")), 0);
  EXPECT_EQ(Read("RV7WIN9XME.EXE"), "old");
  // A folder in the way cannot be renamed over the updater: failure, and the old one stays.
  fs::create_directories(folder_ / "RV7WIN9XME.SWAP" / "x");
  EXPECT_EQ(ExitStatus(Start("rv7swap_ansi.exe")), 1);
  EXPECT_EQ(Read("RV7WIN9XME.EXE"), "old");
}

}  // namespace
