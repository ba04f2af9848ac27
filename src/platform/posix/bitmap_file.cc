#include "platform/bitmap_file.h"

namespace platform {

// Linux has no image loader of its own: the caller's decoder is the only one.
std::optional<SystemBitmap> LoadSystemBitmap(const std::string&) { return std::nullopt; }

}  // namespace platform
