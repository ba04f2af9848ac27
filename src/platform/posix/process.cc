#include "platform/process.h"

#include <unistd.h>

#include <vector>

#include "platform/path.h"

namespace platform {

std::string GetModuleFileName() {
  std::vector<char> buffer(260);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0) return {};
    // readlink truncates silently; a full buffer may be a cut path, so ask again with more room.
    if (static_cast<size_t>(n) < buffer.size()) return ToInternalPath({buffer.data(), static_cast<size_t>(n)});
    buffer.resize(buffer.size() + 260);
  }
}

}  // namespace platform
