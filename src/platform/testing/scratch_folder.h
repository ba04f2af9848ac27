// Scratch folders and whole-file reads and writes for the tests of every layer (header only).
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>

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

// A fresh folder under the system's temporary folder, removed with everything in it (a test may
// have made it read-only) when the object goes.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "varne-test") {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            (prefix + "-" + std::to_string(random()) + std::to_string(random()));
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

 private:
  std::filesystem::path path_;
};

}  // namespace test_support
