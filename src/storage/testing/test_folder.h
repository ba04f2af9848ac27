// A scratch folder for the storage tests that also names its files in the system's internal form
// (backslashes).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "base/tstring.h"
#include "platform/testing/scratch_folder.h"

class TestFolder : public test_support::TempFolder {
 public:
  // The internal path of a name below the folder.
  std::tstring Path(const std::string& name = "") const {
    std::tstring path = Native(name).string();
    path.ToBackslashes();
    return path;
  }
};

// Bytes that differ from position to position, so that misplaced or unscrambled data shows.
inline std::string PatternBytes(std::size_t size, unsigned seed = 1) {
  std::string bytes(size, '\0');
  std::uint32_t x = seed;
  for (auto& byte : bytes) byte = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  return bytes;
}
