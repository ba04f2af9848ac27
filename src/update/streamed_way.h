// Installing a file while its package downloads (update/streamed_install.h): the package still
// goes to its temporary file, and the file is checked once the next transfer is done, so that its
// last digests run beside that transfer. A file that fails its check is installed from its package
// the usual way.
#pragma once

#include <memory>
#include <optional>

#include "base/tstring.h"
#include "storage/varne_file_manager.h"
#include "update/install_folder.h"
#include "update/install_way.h"
#include "update/package_transfer.h"
#include "update/streamed_install.h"

// The installs a run makes while packages download: their digests on one second core for the
// whole run, and the last install held until its verdict.
class StreamedInstalls {
 public:
  // files_done is the run's count, which counts the held file already; a file that fails its
  // verdict and is not installed otherwise is taken back from it.
  StreamedInstalls(VarneFileManager& files, InstallFolder& folder, int& files_done);

  // A new install of the job's file from its package's bytes; the job has an expected content.
  std::unique_ptr<StreamedInstall> Begin(const InstallJob& job);
  // Holds install, fed the whole package that was downloaded to temporary, until its verdict.
  void Hold(std::unique_ptr<StreamedInstall> install, const InstallJob& job,
            const std::tstring& temporary);
  // Takes the held file's verdict: the checked file joins the folder's batch; any other is
  // installed from its package.
  void Settle();
  // On the way out of a failed run: only a checked file is kept, nothing more is installed.
  void KeepIfChecked();

 private:
  struct Held {
    std::unique_ptr<StreamedInstall> install;
    std::optional<InstallJob> job;
    std::tstring temporary;
  };
  // Waits for the held file's digests: true when it is checked and has joined the batch.
  bool Complete(Held& held);

  VarneFileManager& files_;
  InstallFolder& folder_;
  int& files_done_;
  InstallDigests digests_;
  Held held_;  // after digests_, so that it goes first
};

class StreamedWay : public InstallWay {
 public:
  StreamedWay(PackageTransfer& transfer, StreamedInstalls& installs, InstallFolder& folder);
  // The job has an expected content.
  void Install(const InstallJob& job) override;

 private:
  PackageTransfer& transfer_;
  StreamedInstalls& installs_;
  InstallFolder& folder_;
};
