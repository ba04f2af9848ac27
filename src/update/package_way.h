// The usual way of installing a file: its package is downloaded whole to a temporary file, and the
// file is extracted from it, checked as it is written, and put in place.
#pragma once

#include "base/tstring.h"
#include "storage/varne_file_manager.h"
#include "update/install_folder.h"
#include "update/install_way.h"
#include "update/package_transfer.h"

class DownloadWindow;

class PackageWay : public InstallWay {
 public:
  // The files in the window before it take their verdicts first, so that failures keep list order.
  PackageWay(PackageTransfer& transfer, DownloadWindow& window, VarneFileManager& files,
             InstallFolder& folder);
  void Install(const InstallJob& job) override;

 private:
  PackageTransfer& transfer_;
  DownloadWindow& window_;
  VarneFileManager& files_;
  InstallFolder& folder_;
};

// Installs the job's file from its package, downloaded to temporary, into the folder's batch, and
// removes temporary on every way out. The package's record and then the extracted bytes must be
// what the list names: otherwise "Downloaded file does not match the list : <path>", and the old
// file stays as it was.
void InstallFromPackage(VarneFileManager& files, InstallFolder& folder, const InstallJob& job,
                        const std::tstring& temporary);
