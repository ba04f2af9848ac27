#include "app/swap_cleanup.h"

#include <thread>

#include "platform/file.h"
#include "site/install_names.h"

void CleanUpSwapProgram(IProcessLauncher& processes, const std::tstring& swap_program,
                        std::chrono::milliseconds retry_delay) {
  processes.WaitForExit(swap_program, IProcessLauncher::kForever);
  if (!platform::PathExists(kSwapProgramName)) return;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (platform::RemoveFile(kSwapProgramName)) return;
    std::this_thread::sleep_for(retry_delay);
  }
}
