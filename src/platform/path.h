// Paths inside the system are written as on Windows: backslash separators, an absolute POSIX path
// such as /opt/game written \opt\game. These functions translate at the boundary to the system.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// A system path ("/opt/game/RV7.VPK") in the internal form ("\opt\game\RV7.VPK").
std::string ToInternalPath(std::string_view native);

// An internal path in the form the system's calls take.
std::string ToNativePath(std::string_view internal);

}  // namespace platform
