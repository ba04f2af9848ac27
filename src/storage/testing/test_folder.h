// Scratch folders for the storage tests, and bytes to fill their files with.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/testing/scratch_folder.h"
#include "storage/varne_file_manager.h"

using TestFolder = test_support::TempFolder;

namespace storage_testing {

// The current directory while it lives, with the process's file manager.
class InstallFolder : public TestFolder {
 public:
  InstallFolder() : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(GetPath());
  }
  ~InstallFolder() { std::filesystem::current_path(previous_); }
  bool Exists(const std::string& name) const { return std::filesystem::exists(Native(name)); }

 private:
  std::filesystem::path previous_;
  VarneFileManager files_;
};

}  // namespace storage_testing

// Bytes that differ from position to position, so that misplaced or unscrambled data shows.
inline std::string PatternBytes(std::size_t size, unsigned seed = 1) {
  std::string bytes(size, '\0');
  std::uint32_t x = seed;
  for (auto& byte : bytes) byte = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  return bytes;
}
