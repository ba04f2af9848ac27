#include "platform/console.h"

#include <unistd.h>

namespace platform {

// A POSIX program inherits its terminal's descriptors.
void AttachToConsole() {}

void UseBinaryStandardStreams() {}

bool StandardInputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

bool StandardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace platform
