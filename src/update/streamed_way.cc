#include "update/streamed_way.h"

#include <utility>

#include "platform/file.h"
#include "update/package_way.h"

StreamedInstalls::StreamedInstalls(VarneFileManager& files, InstallFolder& folder, int& files_done)
    : files_(files), folder_(folder), files_done_(files_done) {}

std::unique_ptr<StreamedInstall> StreamedInstalls::Begin(const InstallJob& job) {
  return std::make_unique<StreamedInstall>(
      job.entry.path, job.target, *job.expected,
      [this, target = job.target] { return folder_.TryReady(target); }, digests_);
}

void StreamedInstalls::Hold(std::unique_ptr<StreamedInstall> install, const InstallJob& job,
                            const std::tstring& temporary) {
  held_ = {std::move(install), job, temporary};
}

void StreamedInstalls::Settle() {
  Held held = std::exchange(held_, {});
  if (!held.job) return;
  if (!Complete(held)) {
    --files_done_;
    InstallFromPackage(files_, folder_, *held.job, held.temporary);
    ++files_done_;
  }
  platform::RemoveFile(held.temporary);
}

void StreamedInstalls::KeepIfChecked() {
  Held held = std::exchange(held_, {});
  if (!held.job) return;
  if (!Complete(held)) --files_done_;
  platform::RemoveFile(held.temporary);
}

bool StreamedInstalls::Complete(Held& held) {
  const bool installed = held.install->Complete(&folder_.Batch());
  if (installed) folder_.Installed(*held.job);
  // The install's new file and its share of the digests go before anything else is installed.
  held.install.reset();
  return installed;
}

StreamedWay::StreamedWay(PackageTransfer& transfer, StreamedInstalls& installs,
                         InstallFolder& folder)
    : transfer_(transfer), installs_(installs), folder_(folder) {}

void StreamedWay::Install(const InstallJob& job) {
  const std::tstring temporary = folder_.TemporaryName(job.files_done);
  std::unique_ptr<StreamedInstall> install =
      transfer_.Fetch(job, temporary, [&] { return installs_.Begin(job); });
  // The file before has had this transfer's time to finish its digests.
  installs_.Settle();
  installs_.Hold(std::move(install), job, temporary);
}
