// Reading a whole file through platform::File; the same on every system.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/file.h"

namespace platform {

std::optional<std::string> ReadWholeFile(const std::string& internal) {
  File file;
  if (file.Open(internal, Access::kRead, Share::kReadWrite, Disposition::kOpenExisting) !=
      OpenError::kNone) {
    return std::nullopt;
  }
  std::string bytes;
  char block[16384];
  for (std::int64_t got; (got = file.Read(block, sizeof block)) != 0;) {
    if (got < 0) return std::nullopt;
    bytes.append(block, static_cast<std::size_t>(got));
  }
  return bytes;
}

}  // namespace platform
