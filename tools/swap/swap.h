// The swap program's work: once the updater of its install folder has ended, put the updater
// downloaded under the swap name in the place of the updater's executable.
#pragma once

#include <string>

namespace swap {

// Waits until no process that started before this one runs "<folder>\RV7WIN9XME.EXE" (a process
// started later, such as an updater restarted by the ending one, would itself wait for this
// program), then renames "RV7WIN9XME.SWAP" over it. `folder` is in the internal path form. True
// when nothing was left to do or the new executable is in place.
bool SwapUpdater(const std::string& folder);

}  // namespace swap
