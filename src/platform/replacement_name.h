// The hidden names under which the file code of both systems writes a new file before it takes
// the place of the old one. Used inside the platform layer only.
#pragma once

#include <string>

namespace platform {

// ".<name>.<pid>-<n>.tmp" for this process: the process id tells a later run whether the writer
// still lives.
std::string ReplacementName(const std::string& name, unsigned n);
// The process id in a name that ReplacementName made, or 0.
int WriterOfReplacement(const std::string& name);

}  // namespace platform
