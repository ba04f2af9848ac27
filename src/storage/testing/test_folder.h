// Scratch folders for the storage tests, and bytes to fill their files with.
#pragma once

#include <cstdint>
#include <string>

#include "platform/testing/scratch_folder.h"

using TestFolder = test_support::TempFolder;

// Bytes that differ from position to position, so that misplaced or unscrambled data shows.
inline std::string PatternBytes(std::size_t size, unsigned seed = 1) {
  std::string bytes(size, '\0');
  std::uint32_t x = seed;
  for (auto& byte : bytes) byte = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  return bytes;
}
