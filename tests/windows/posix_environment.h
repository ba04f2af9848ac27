// setenv and unsetenv, which the unit tests use to set the process's environment and the
// MinGW-w64 C library lacks; given to every test program of the Windows build.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

int setenv(const char* name, const char* value, int overwrite);
int unsetenv(const char* name);

#ifdef __cplusplus
}
#endif
