// Installing a file while its package downloads (update/streamed_install.h), side by side with the
// files before and after it (update/download_window.h): the package still goes to its temporary
// file, and a file that fails its check is installed from its package the usual way.
#pragma once

#include "update/download_window.h"
#include "update/install_way.h"

class StreamedWay : public InstallWay {
 public:
  explicit StreamedWay(DownloadWindow& window) : window_(window) {}
  // The job has an expected content.
  void Install(const InstallJob& job) override { window_.Add(job); }

 private:
  DownloadWindow& window_;
};
