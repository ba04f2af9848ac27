// Which entry names may be written below a destination folder.
#pragma once

#include <string>

namespace vpk {

// True when the key (backslash-separated) names a file strictly inside the folder it is extracted
// to: not empty, not absolute, no drive or stream prefix (":"), no "." or ".." and no empty
// component. Package names come from whoever made the package, so they are not trusted.
bool IsSafeEntryName(const std::string& key);

}  // namespace vpk
