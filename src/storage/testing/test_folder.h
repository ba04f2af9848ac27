// A scratch folder for tests, removed with everything in it when the object goes. Paths handed out
// are in the system's internal form (backslashes).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "base/tstring.h"

class TestFolder {
 public:
  TestFolder() {
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = std::filesystem::temp_directory_path() /
            ("varne_" + std::string(info ? info->name() : "test") + "_" +
             std::to_string(counter++) + "_" + std::to_string(std::time(nullptr)));
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
  }
  ~TestFolder() {
    std::error_code ignored;
    std::filesystem::permissions(root_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(root_, ignored);
  }
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;

  // The native path of a name below the folder ("a/b.txt").
  std::filesystem::path Native(const std::string& name = "") const {
    return name.empty() ? root_ : root_ / name;
  }
  // The internal path of a name below the folder.
  std::tstring Path(const std::string& name = "") const {
    std::tstring path = Native(name).string();
    path.ToBackslashes();
    return path;
  }

  void Write(const std::string& name, const std::string& bytes) const {
    const auto path = Native(name);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }
  std::string Read(const std::string& name) const { return ReadNative(Native(name)); }
  static std::string ReadNative(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::filesystem::path root_;
};

// Bytes that differ from position to position, so that misplaced or unscrambled data shows.
inline std::string PatternBytes(std::size_t size, unsigned seed = 1) {
  std::string bytes(size, '\0');
  std::uint32_t x = seed;
  for (auto& byte : bytes) byte = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  return bytes;
}
