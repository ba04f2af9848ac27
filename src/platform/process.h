// The running process and the processes around it.
#pragma once

#include <string>

namespace platform {

// The full path of the running executable in the system's path form (see path.h), or an empty
// string when the system cannot tell.
std::string GetModuleFileName();

}  // namespace platform
