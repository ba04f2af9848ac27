// Scratch folders and whole-file reads and writes for the tests of every layer (header only).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/path.h"
#include "platform/process.h"

namespace test_support {

// The whole content of a file; empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Writes a whole file, creating the folders above it; throws when that fails.
inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// Waits, at most `seconds` long, for a condition that another process brings about.
template <typename Condition>
bool Eventually(Condition condition, int seconds = 40) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

// A fresh folder under the system's temporary folder, removed with everything in it (a test may
// have made it read-only) when the object goes.
class TempFolder {
 public:
  explicit TempFolder(const std::filesystem::path& prefix = "varne-test") {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() / prefix;
    path_ += "-" + std::to_string(random()) + std::to_string(random());
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& GetPath() const { return path_; }
  // The internal form ("a\\b.txt" or "a/b.txt" below the folder) in the system's narrow text, as
  // the platform layer takes paths; the folder itself when empty.
  std::string Path(const std::string& name = "") const {
    const std::string path = platform::FilesystemPathText(path_);
    return platform::ToInternalPath(name.empty() ? path : path + "/" + name);
  }
  // The same name for std::filesystem and the streams, through the platform's conversion: MinGW
  // would read a narrow Japanese name as Latin-1.
  std::filesystem::path Native(const std::string& name = "") const {
    return platform::ToFilesystemPath(platform::ToNativePath(Path(name)));
  }
  void Write(const std::string& name, const std::string& bytes) const {
    WriteFile(Native(name), bytes);
  }
  std::string Read(const std::string& name) const { return ReadFile(Native(name)); }

 private:
  std::filesystem::path path_;
};

// A fresh folder per test with a Japanese name, for the platform tests of both systems.
class ScratchFolderTest : public ::testing::Test, public TempFolder {
 protected:
  ScratchFolderTest() : TempFolder(platform::ToFilesystemPath("varne_表")) {}
  // Waits until the file exists, for what a started program writes.
  bool AppearsWithin(const std::string& name, int seconds) const {
    return Eventually([&] { return std::filesystem::exists(Native(name)); }, seconds);
  }
  // Copies this test program to `name` below the scratch folder.
  void CopyTestProgram(const std::string& name) const {
    std::filesystem::create_directories(Native(name).parent_path());
    std::filesystem::copy_file(
        platform::ToFilesystemPath(platform::ToNativePath(platform::GetModuleFileName())),
        Native(name));
  }

  const std::filesystem::path root_ = GetPath();
};

}  // namespace test_support
