#include "app/swap_cleanup.h"

#include <filesystem>
#include <thread>

#include "app/window_finder.h"
#include "platform/file.h"
#include "update/install_names.h"

void CleanUpSwapProgram(const std::tstring& swap_program, std::chrono::milliseconds retry_delay) {
  {
    Util::WindowFinder finder;
    finder.WaitForModuleExit(swap_program, Util::WindowFinder::kInfinite);
  }
  std::error_code error;
  if (!std::filesystem::exists(platform::ResolvePath(kSwapProgramName), error)) return;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (platform::RemoveFile(kSwapProgramName)) return;
    std::this_thread::sleep_for(retry_delay);
  }
}
