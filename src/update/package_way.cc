#include "update/package_way.h"

#include <algorithm>
#include <iterator>
#include <optional>

#include "base/exception.h"
#include "platform/file.h"
#include "storage/opened_file.h"
#include "update/download_window.h"
#include "update/streamed_install.h"

namespace {

DownloadManagerException Mismatch(const FileEntry& entry) {
  return DownloadManagerException("Downloaded file does not match the list : " + entry.path, true);
}

// The package's entry of the listed file and its record: under the list's spelling of the path,
// as the server knows the file, or else under the one spelling the install knows it by. False
// when it holds neither.
bool FindEntry(VarneFileManager& files, const FileEntry& entry, std::tstring* name,
               FileInfoCellEx* record) {
  for (const std::tstring& candidate : {entry.Listed(), entry.path}) {
    *name = candidate;
    if (files.GetFileSystem().LookupEntry(candidate, record)) return true;
  }
  return false;
}

// What the extracted bytes must be. A list line whose digest field is no digest names no bytes:
// the package's own record does, and the publisher's signature where there is one.
std::optional<ExpectedContent> ExpectedOf(const InstallJob& job, const FileInfoCellEx& record,
                                          bool found) {
  if (job.expected) return job.expected;
  if (!found || !record.inPackage) return std::nullopt;
  ExpectedContent expected{.size = record.sourceSize, .md5 = {}, .sha256 = job.sha256};
  std::copy(std::begin(record.digest), std::end(record.digest), expected.md5.begin());
  return expected;
}

// The package's own record of the entry already tells whether its bytes can be the listed ones.
bool RecordMayMatch(const FileInfoCellEx& record, bool found, const ExpectedContent& expected) {
  if (!found || !record.inPackage) return true;
  if (expected.size && *expected.size != record.sourceSize) return false;
  return std::equal(expected.md5.begin(), expected.md5.end(), record.digest);
}

// Extracts the job's file from the package that the manager holds.
void Extract(VarneFileManager& files, InstallFolder& folder, const InstallJob& job) {
  std::tstring name;
  FileInfoCellEx record;
  const bool found = FindEntry(files, job.entry, &name, &record);
  const OpenedFile file(files, name.c_str(), kOpenBinaryReadOnly);
  if (!file) throw DownloadManagerException("Temp File Error.", true);
  if (platform::IsSpecialFile(job.target)) {
    throw DownloadManagerException("Listed path is not a regular file : " + job.target, true);
  }
  const std::optional<ExpectedContent> expected = ExpectedOf(job, record, found);
  if (!expected || !RecordMayMatch(record, found, *expected)) throw Mismatch(job.entry);
  folder.Ready(job);
  if (!files.ExtractChecked(file.handle(), job.target, *expected, &folder.Batch())) {
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
    try {
      files.ReadPackage(temporary.c_str());
    } catch (const Exception& failure) {
      // The temporary's name tells the player nothing: the listed file and its URL do.
      throw Caused(
          Exception(failure.GetText() + " : " + job.entry.Listed() + " : " + job.package_url, true),
          failure.Cause(), failure.Subjects());
    }
    Extract(files, folder, job);
    files.ClearFileList();
  } catch (...) {
    platform::RemoveFile(temporary);
    throw;
  }
  platform::RemoveFile(temporary);
}
