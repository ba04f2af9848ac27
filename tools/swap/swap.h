// The swap program's work: once the updater of its install folder has ended, put the updater
// downloaded under the swap name in the place of the updater's executable.
#pragma once

#include <string>

namespace swap {

// Waits until neither the process that started this one nor any process that started before it
// runs "<folder>\RV7WIN9XME.EXE" (a process started later, such as an updater restarted by the
// ending one, would itself wait for this program), then renames "RV7WIN9XME.SWAP" over it.
// `folder` is in the internal path form. True when nothing was left to do or the new executable
// is in place.
bool SwapUpdater(const std::string& folder);

// Starts "<folder>\RV7WIN9XME.EXE" with `arguments` (each after a blank) in `folder`, without
// waiting for it; false when it could not be started.
bool StartUpdater(const std::string& folder, const std::string& arguments);

}  // namespace swap
