// Whether a file written below a folder stays in it on disk. A path that the name rule accepts
// stays below its folder by name, but a folder on its way may be a link or junction to anywhere;
// writing through it would put files where the writer was never meant to reach.
#pragma once

#include <string>

#include "base/tstring.h"

// True when the deepest existing folder on target's way (target in the internal form, below
// folder; an empty folder is the current one) resolves, through links and junctions, to a place
// other than folder or a folder below it; also when either cannot be resolved. The folders still
// missing are made afterwards as real folders inside the one checked.
bool LeavesFolderOnDisk(const std::tstring& folder, const std::tstring& target);

// True when `real` (a path as platform::RealPath gives it) is `base` or lies below it.
bool IsAtOrBelow(const std::string& real, const std::string& base);
