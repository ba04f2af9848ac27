// Whether the updater may change the files of a folder.
#pragma once

#include <string>

namespace platform {

// False when this process may not write to the folder, when it lies on a read-only file system,
// or when its permission bits grant write to nobody (so that a folder made read-only counts as such
// also for a process that may write anywhere). A folder whose state cannot be read is not writable.
bool IsFolderWritable(const std::string& internal);

}  // namespace platform
