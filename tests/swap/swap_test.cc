// The swap program as the updater starts it: a real process in an install folder, beside copies
// of sleep that stand for the ending updater and for its restart.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/path.h"
#include "platform/process_list.h"
#include "platform/testing/scratch_folder.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
const char kNew[] = "#!/bin/sh\necho new\n";

class SwapTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::copy_file(VARNE_BINARY_DIR "/bin/rv7swap_ansi.exe", folder_ / "rv7swap_ansi.exe");
    fs::copy_file("/bin/sleep", folder_ / "RV7WIN9XME.EXE");
    test_support::WriteFile(folder_ / "RV7WIN9XME.SWAP", kNew);
    chmod((folder_ / "RV7WIN9XME.SWAP").c_str(), 0600);
  }
  void TearDown() override {
    for (const pid_t id : started_) kill(id, SIGKILL);
    while (!started_.empty()) ExitStatus(started_.back());
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
    for (int i = 0; i < 500 && !Runs(id, name); ++i) usleep(2000);
    return id;
  }
  bool Runs(pid_t id, const std::string& name) const {
    for (const auto& process : platform::ListProcesses()) {
      if (process.id == id)
        return process.module == platform::ToInternalPath((folder_ / name).string());
    }
    return false;
  }
  int ExitStatus(pid_t id) {
    int status = -1;
    waitpid(id, &status, 0);
    std::erase(started_, id);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Updater() const { return test_support::ReadFile(folder_ / "RV7WIN9XME.EXE"); }

  const test_support::TempFolder scratch_{"varne-swap"};
  const fs::path folder_ = scratch_.GetPath();
  std::vector<pid_t> started_;
};

TEST_F(SwapTest, WaitsForTheEndingUpdaterButNotForItsRestart) {
  const pid_t updater = Start("RV7WIN9XME.EXE", "0.6");
  chmod((folder_ / "RV7WIN9XME.EXE").c_str(), 0751);
  // An updater runs a while before it starts the swap program; start times are coarse.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto before = Clock::now();
  const pid_t swap = Start("rv7swap_ansi.exe");
  // The ending updater may start its restart right after the swap program; that copy waits for
  // the swap program, so the swap program must not wait for it.
  const pid_t restarted = Start("RV7WIN9XME.EXE", "30");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(fs::exists(folder_ / "RV7WIN9XME.SWAP"));  // not while the updater runs
  // Like the updater's own parent, this test collects the updater only after the swap is done:
  // an ended process that was not collected yet does not hold the swap up.
  EXPECT_EQ(ExitStatus(swap), 0);
  const auto took = Clock::now() - before;
  EXPECT_GE(took, std::chrono::milliseconds(500));
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_EQ(ExitStatus(updater), 0);
  EXPECT_EQ(Updater(), kNew);
  EXPECT_FALSE(fs::exists(folder_ / "RV7WIN9XME.SWAP"));
  EXPECT_EQ(fs::status(folder_ / "RV7WIN9XME.EXE").permissions(), static_cast<fs::perms>(0751));
  EXPECT_TRUE(Runs(restarted, "RV7WIN9XME.EXE"));
}

TEST_F(SwapTest, NothingToSwapOrNoWayToSwapIt) {
  fs::remove(folder_ / "RV7WIN9XME.SWAP");
  test_support::WriteFile(folder_ / "RV7WIN9XME.EXE", "old");
  EXPECT_EQ(ExitStatus(Start("rv7swap_ansi.exe")), 0);
  // A folder in the way cannot be renamed over the updater: failure, and the old one stays.
  fs::create_directories(folder_ / "RV7WIN9XME.SWAP" / "x");
  EXPECT_EQ(ExitStatus(Start("rv7swap_ansi.exe")), 1);
  EXPECT_EQ(Updater(), "old");
}

}  // namespace
