#include "support/posix_environment.h"

// _putenv_s changes the C library's copy and the process's own block, which children inherit; an
// empty value removes the variable.
extern "C" int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && getenv(name) != nullptr) return 0;
  return _putenv_s(name, value) == 0 ? 0 : -1;
}

extern "C" int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }
