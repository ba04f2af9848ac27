#include "platform/path.h"

#include <algorithm>

namespace platform {

std::string ToInternalPath(std::string_view native) {
  std::string out(native);
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

std::string ToNativePath(std::string_view internal) {
  std::string out(internal);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

std::filesystem::path ToFilesystemPath(std::string_view native) {
  return std::filesystem::path(native);
}

std::string FilesystemPathText(const std::filesystem::path& path) { return path.string(); }

}  // namespace platform
