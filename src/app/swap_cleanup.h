// Clean-up after a self-replacement: the swap program that put a new updater in place is waited
// for and removed, so that it is written afresh from the package the next time one is needed.
#pragma once

#include <chrono>

#include "base/tstring.h"
#include "ui/process_launcher.h"

// Waits without time limit until no process runs `swap_program` (a full path), then deletes the
// file of that name in the current folder if there is one: up to three attempts with
// `retry_delay` after each failure. A file that cannot be deleted stays; that is not an error.
void CleanUpSwapProgram(IProcessLauncher& processes, const std::tstring& swap_program,
                        std::chrono::milliseconds retry_delay = std::chrono::milliseconds(1000));
