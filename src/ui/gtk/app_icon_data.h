// The bytes of the application icon file (a Windows .ico), built into the program.
#pragma once

#include <cstddef>

extern const unsigned char kAppIconData[];
extern const std::size_t kAppIconSize;
