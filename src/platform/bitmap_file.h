// Bitmap files as the system's own image loader reads them: every kind of BMP it knows (palettes,
// run-length compression, any depth). Where the system has no such loader nothing is loaded, and
// callers decode the file themselves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// A picture as 32-bit pixels (blue, green, red, one unused byte), rows bottom-up.
struct SystemBitmap {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;
};

// The bitmap file at path (internal form); nullopt when the system cannot load it, or has no
// loader.
std::optional<SystemBitmap> LoadSystemBitmap(const std::string& path);

}  // namespace platform
