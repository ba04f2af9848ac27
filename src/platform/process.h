// The running process and the processes around it.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The full path of the running executable in the system's path form (see path.h), or an empty
// string when the system cannot tell.
std::string GetModuleFileName();

// Splits a whole command line as Windows does: the program name runs to the first blank, or
// between quotes when it starts with one, and its backslashes are path separators; each argument
// after it runs to a blank outside quotes, where 2n backslashes before a quote give n backslashes
// and the quote opens or closes quoting, and 2n+1 give n backslashes and a literal quote.
std::vector<std::string> SplitCommandLine(const std::string& command_line);

// Starts the program of a whole command line with `directory` (internal form) as its working
// directory, without waiting for it. A program named without a folder is looked for in that
// directory first, then along PATH; names are found without regard to letter case. The new process
// inherits no open file of this one. False when the program could not be started.
bool StartProcess(const std::string& command_line, const std::string& directory);

}  // namespace platform
