#include "platform/console.h"

namespace platform {

// A POSIX program inherits its terminal's descriptors.
void AttachToConsole() {}

void UseBinaryStandardStreams() {}

}  // namespace platform
