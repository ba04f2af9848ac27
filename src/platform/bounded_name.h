// Private to the platform layer: system object names have a length limit, and a long escaped name
// must still name one object only.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// escaped (an escaped form of name) as it is when it is short; otherwise its readable head and a
// hash of the whole name, so that two long names that share a head stay apart.
std::string BoundedName(const std::string& escaped, std::string_view name);

}  // namespace platform
