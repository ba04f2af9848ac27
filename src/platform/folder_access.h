// Whether the updater may change the files of a folder, and how much room its volume has.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// False when this process may not write to the folder, when it lies on a read-only file system,
// or when its permission bits grant write to nobody (so that a folder made read-only counts as such
// also for a process that may write anywhere). A folder whose state cannot be read is not writable.
bool IsFolderWritable(const std::string& internal);

// The bytes this process may still write to the folder's volume; none when they cannot be read.
std::optional<std::uint64_t> FreeBytesOf(const std::string& internal);
// How a player names the folder's volume: its drive ("C:\") on Windows, its mount point on Linux;
// the folder's full path when that cannot be found.
std::string VolumeOf(const std::string& internal);

}  // namespace platform
