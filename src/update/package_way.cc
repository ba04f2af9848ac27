#include "update/package_way.h"

#include <algorithm>

#include "base/exception.h"
#include "platform/file.h"
#include "storage/opened_file.h"
#include "update/download_window.h"
#include "update/streamed_install.h"

namespace {

DownloadManagerException Mismatch(const FileEntry& entry) {
  return DownloadManagerException("Downloaded file does not match the list : " + entry.path, true);
}

// The package's own record of the entry already tells whether its bytes can be the listed ones.
bool RecordMayMatch(VarneFileManager& files, const FileEntry& entry,
                    const ExpectedContent& expected) {
  FileInfoCellEx record;
  if (!files.GetFileSystem().LookupEntry(entry.path, &record) || !record.inPackage) return true;
  if (expected.size && *expected.size != record.sourceSize) return false;
  return std::equal(expected.md5.begin(), expected.md5.end(), record.digest);
}

// Extracts the job's file from the package that the manager holds.
void Extract(VarneFileManager& files, InstallFolder& folder, const InstallJob& job) {
  const OpenedFile file(files, job.entry.path.c_str(), kOpenBinaryReadOnly);
  if (!file) throw DownloadManagerException("Temp File Error.", true);
  if (platform::IsSpecialFile(job.target)) {
    throw DownloadManagerException("Listed path is not a regular file : " + job.target, true);
  }
  if (!job.expected || !RecordMayMatch(files, job.entry, *job.expected)) throw Mismatch(job.entry);
  folder.Ready(job);
  if (!files.ExtractChecked(file.handle(), job.target, *job.expected, &folder.Batch())) {
    throw Mismatch(job.entry);
  }
  folder.Installed(job);
}

}  // namespace

PackageWay::PackageWay(PackageTransfer& transfer, DownloadWindow& window, VarneFileManager& files,
                       InstallFolder& folder)
    : transfer_(transfer), window_(window), files_(files), folder_(folder) {}

void PackageWay::Install(const InstallJob& job) {
  window_.Drain();
  const std::tstring temporary = folder_.TemporaryName(job.files_done);
  transfer_.Fetch(job, temporary, nullptr);
  InstallFromPackage(files_, folder_, job, temporary);
}

void InstallFromPackage(VarneFileManager& files, InstallFolder& folder, const InstallJob& job,
                        const std::tstring& temporary) {
  try {
    files.ClearFileList();
    files.ReadPackage(temporary.c_str());
    Extract(files, folder, job);
    files.ClearFileList();
  } catch (...) {
    platform::RemoveFile(temporary);
    throw;
  }
  platform::RemoveFile(temporary);
}
