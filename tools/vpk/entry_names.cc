#include "entry_names.h"

namespace vpk {

bool IsSafeEntryName(const std::string& key) {
  if (key.empty() || key.find(':') != std::string::npos) return false;
  std::size_t start = 0;
  while (start <= key.size()) {
    std::size_t end = key.find('\\', start);
    if (end == std::string::npos) end = key.size();
    const std::string part = key.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace vpk
