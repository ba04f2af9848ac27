// setenv and unsetenv, with which the tests set the process's environment: the C library has them
// on Linux, and test_support gives them to the Windows build, whose MinGW-w64 C library lacks them.
#pragma once

#include <stdlib.h>

#ifdef _WIN32
extern "C" int setenv(const char* name, const char* value, int overwrite);
extern "C" int unsetenv(const char* name);
#endif
