// The names in folders by their lower-case form, for finding a name without regard to case (Linux
// only: Windows' file system does that itself).
#pragma once

#include <string>

namespace platform {

// The entry of folder whose name equals name without regard to case (the first the system lists
// when several do), or name itself. Thread-safe.
//
// Listing the folder for every such name made a fresh install of n files into one folder cost n
// listings of up to n entries each: quadratic. So a folder's names are kept, under an inotify watch
// on it: the kernel queues each change to a folder's entries within the call that makes it, by
// whichever process, and the queued changes are applied before every use, so the names kept are
// the names on disk. At most 64 folders are kept (the oldest go first); where inotify is
// unavailable or out of watches, every match lists the folder.
std::string MatchWithoutCase(const std::string& folder, const std::string& name);

}  // namespace platform
