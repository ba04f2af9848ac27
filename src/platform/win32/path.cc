// Windows paths are the internal form already; only forward slashes are turned round.
#include "platform/path.h"

#include <algorithm>

namespace platform {

std::string ToInternalPath(std::string_view native) {
  std::string out(native);
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

std::string ToNativePath(std::string_view internal) { return ToInternalPath(internal); }

}  // namespace platform
