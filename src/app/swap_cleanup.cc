#include "app/swap_cleanup.h"

#include <thread>

#include "app/window_finder.h"
#include "platform/file.h"
#include "update/install_names.h"

void CleanUpSwapProgram(const std::tstring& swap_program, std::chrono::milliseconds retry_delay) {
  {
    Util::WindowFinder finder;
    finder.WaitForModuleExit(swap_program, Util::WindowFinder::kInfinite);
  }
  if (!platform::PathExists(kSwapProgramName)) return;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (platform::RemoveFile(kSwapProgramName)) return;
    std::this_thread::sleep_for(retry_delay);
  }
}
