#include "platform/bounded_name.h"

#include <cstdint>
#include <cstdio>

namespace platform {

std::string BoundedName(const std::string& escaped, std::string_view name) {
  if (escaped.size() <= 180) return escaped;
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  char tail[24];
  std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(hash));
  return escaped.substr(0, 160) + tail;
}

}  // namespace platform
