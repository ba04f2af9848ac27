// Putting one file in the place of another.
#pragma once

#include <string>

namespace platform {

// Renames `source` over `destination` in one step, so that readers see either the old or the new
// file. An existing destination passes its permission bits on to the file that replaces it. Both
// must lie on one file system. False when the source is missing or the rename failed; the files
// are then unchanged.
bool MoveFileReplacing(const std::string& source, const std::string& destination);

}  // namespace platform
