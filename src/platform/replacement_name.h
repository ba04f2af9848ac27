// The hidden names under which the file code of both systems writes a new file before it takes
// the place of the old one. Used inside the platform layer only.
#pragma once

#include <string>

namespace platform {

// ".<name>.<pid>-<n>.rv7new.tmp" for this process: the process id tells a later run whether the
// writer still lives, and the marker tells the system's own new files from a user's files of a
// like name, which a clean-up must never take for leftovers.
std::string ReplacementName(const std::string& name, unsigned n);
// The process id in a name that ReplacementName made, or 0 for any other name (also the unmarked
// ".<name>.<pid>-<n>.tmp" of older versions: what such a file holds cannot tell it from a user's).
int WriterOfReplacement(const std::string& name);

}  // namespace platform
