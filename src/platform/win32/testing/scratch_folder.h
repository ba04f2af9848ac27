// A fresh folder per test under the system's temporary folder, and a helper to start a copy of the
// test program itself, for the Windows tests of the platform layer.
#pragma once

#include <windows.h>
#undef GetModuleFileName  // platform::GetModuleFileName, not the system's macro

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/path.h"
#include "platform/process.h"
#include "platform/win32/wide.h"

namespace platform {

class ScratchFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Built from the test's name: a Japanese folder name above every path the tests use.
    root_ = std::filesystem::temp_directory_path() /
            Wide("varne_表_" +
                 std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // The narrow path of a name below the scratch folder.
  std::string Path(const std::string& name = "") const {
    std::string path = Narrow(root_.wstring());
    return name.empty() ? path : path + "\\" + name;
  }
  void Put(const std::string& name, const std::string& bytes) const {
    const std::filesystem::path path(Wide(Path(name)));
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }
  std::string Get(const std::string& name) const {
    std::ifstream in(std::filesystem::path(Wide(Path(name))), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Polls until the file exists, for what a started program writes.
  bool AppearsWithin(const std::string& name, int milliseconds) const {
    for (int waited = 0; waited < milliseconds; waited += 20) {
      if (std::filesystem::exists(std::filesystem::path(Wide(Path(name))))) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  // Copies this test program to `name` below the scratch folder.
  void CopyTestProgram(const std::string& name) const {
    std::filesystem::create_directories(std::filesystem::path(Wide(Path(name))).parent_path());
    std::filesystem::copy_file(std::filesystem::path(Wide(GetModuleFileName())),
                               std::filesystem::path(Wide(Path(name))));
  }

  std::filesystem::path root_;
};

}  // namespace platform
