// Windows paths are the internal form already; only forward slashes are turned round.
#include "platform/path.h"

#include <algorithm>

#include "platform/win32/wide.h"

namespace platform {

std::string ToInternalPath(std::string_view native) {
  std::string out(native);
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

std::string ToNativePath(std::string_view internal) { return ToInternalPath(internal); }

std::filesystem::path ToFilesystemPath(std::string_view native) {
  return std::filesystem::path(Wide(native));
}

std::string FilesystemPathText(const std::filesystem::path& path) { return Narrow(path.native()); }

}  // namespace platform
