// Runs one update of the current folder against a list URL, as the updater's engine does, and
// prints the outcome: a benchmark driver, without the window.
#include <chrono>
#include <cstdio>
#include <thread>

#include "base/exception.h"
#include "storage/varne_file_manager.h"
#include "update/download_manager.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: update_driver <list-url> [<public-key>]\n");
    return 2;
  }
  try {
    VarneFileManager files;
    DownloadManager manager;
    if (argc == 3) manager.SetPublicKey(argv[2]);
    manager.Start(argv[1], "null");
    int result;
    while ((result = manager.Wait(50)) == DownloadManager::kRunning) {
    }
    if (result != DownloadManager::kCompleted) {
      std::fprintf(stderr, "%s\n", manager.GetErrorMessage().c_str());
      return 1;
    }
    std::printf("%zu files checked\n", manager.GetFileList().size());
    return 0;
  } catch (const Exception& failure) {
    std::fprintf(stderr, "%s\n", failure.GetText().c_str());
    return 1;
  }
}
