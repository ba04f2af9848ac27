#include "update/files_on_disk.h"

#include <algorithm>

#include "base/ascii.h"
#include "base/hex.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/file_stamp.h"
#include "site/install_names.h"
#include "site/release_state.h"
#include "storage/file_digest.h"
#include "storage/folder_bounds.h"
#include "storage/md5.h"
#include "update/file_stamps.h"

namespace {

// A regular file below the install folder, reached through no link and no link itself: what a
// run may copy from or remove.
bool IsPlainInstallFile(const std::tstring& path) {
  if (!platform::IsRegularFile(path) || LeavesFolderOnDisk("", path)) return false;
  const std::optional<std::string> real = platform::RealPath(path);
  std::tstring folder = path;
  folder.RemoveFileSpec();
  const std::optional<std::string> real_folder =
      platform::RealPath(folder.empty() ? std::string(".") : std::string(folder));
  if (!real || !real_folder) return false;
  const std::size_t slash = real->rfind('\\');
  const std::size_t name = path.rfind('\\');
  return slash != std::string::npos && real->substr(0, slash) == *real_folder &&
         ascii::Lowered(real->substr(slash + 1)) ==
             ascii::Lowered(path.substr(name == std::string::npos ? 0 : name + 1));
}

// The updater's own files at the top of the install: a release that stops listing its package or
// its program leaves them to the install, which cannot start without them.
bool IsUpdatersOwn(const std::tstring& path) {
  static const std::string kOwn[] = {kGamePackageName, kUpdaterName,     kUpdaterSwapName,
                                     kSwapProgramName, kProxyConfigName, kReleaseStateName,
                                     kFileStampsName};
  const std::string name = ascii::Lowered(path);
  return std::ranges::any_of(
      kOwn, [&name](const std::string& own) { return name == ascii::Lowered(own); });
}

struct Digests {
  MD5Bytes md5{};
  std::optional<platform::Sha256Digest> sha256;
};

// The file's digests, read whole, when it is `size` bytes long; none otherwise, or when it cannot
// be read. A stop ends the read with "Task Aborted.".
std::optional<Digests> DigestsOf(const std::tstring& path, std::uint64_t size, bool sha256,
                                 const std::stop_token& stop,
                                 platform::ReplacementFile* copy = nullptr) {
  platform::SequentialFile in;
  if (in.Open(path) != platform::SequentialOpen::kOpened ||
      static_cast<std::uint64_t>(in.Stamp().size) != size) {
    return std::nullopt;
  }
  MD5Context md5;
  platform::Sha256 second;
  bool written = true;
  std::vector<std::uint8_t> block(kFileDigestBlockSize);
  const bool read = ReadOpenFile(
      in, block, [&stop] { return stop.stop_requested(); },
      [&](const std::uint8_t* bytes, std::size_t count) {
        md5.Update(bytes, count);
        if (sha256) second.Update(bytes, count);
        if (copy != nullptr && written) written = copy->Write(bytes, count) == count;
      });
  ThrowIfStopped(stop);
  if (!read || !written) return std::nullopt;
  Digests digests{md5.Final(), std::nullopt};
  if (sha256) digests.sha256 = second.Final();
  return digests;
}

}  // namespace

FilesOnDisk::FilesOnDisk(const FileList& list, std::optional<RemovedFiles> removed, bool sha256,
                         std::stop_token stop)
    : list_(list), sha256_(sha256), stop_(std::move(stop)) {
  if (removed) removed_ = std::move(removed->files);
}

// Made at the first file that differs, so a run that finds every file current costs nothing; a
// few dozen bytes a line, where the list keeps its paths packed.
void FilesOnDisk::Index() {
  if (indexed_) return;
  indexed_ = true;
  for (std::size_t i = 0; i < removed_.size(); ++i) {
    sources_.push_back({removed_[i].size, removed_[i].md5, false, i});
  }
  for (std::size_t i = 0; i < list_.size(); ++i) {
    const FileEntry entry = list_[i];
    const std::optional<std::uint64_t> size = OrgSizeOf(entry);
    Source source{size.value_or(0), {}, true, i};
    if (size && DecodeHex(ascii::Lowered(entry.md5), source.md5)) sources_.push_back(source);
  }
  // A file the release before removed comes first: it holds its bytes unless a player changed
  // it, while a listed file may be the next one this run replaces.
  std::ranges::sort(sources_, {}, &Source::Key);
}

std::vector<std::tstring> FilesOnDisk::SourcesOf(const InstallJob& job) {
  std::vector<std::tstring> sources;
  const std::optional<std::uint64_t> size = OrgSizeOf(job.entry);
  MD5Bytes md5;
  if (!size || !job.expected || !DecodeHex(ascii::Lowered(job.entry.md5), md5)) return sources;
  Index();
  const Source wanted{*size, md5, false, 0};
  auto at = std::ranges::lower_bound(sources_, wanted.Key(), {}, &Source::Key);
  for (; at != sources_.end() && at->size == *size && at->md5 == md5; ++at) {
    std::tstring path = at->listed ? list_[at->at].path : removed_[at->at].path;
    const std::string folded = ascii::Lowered(path);
    if (folded != ascii::Lowered(job.entry.path) && folded != ascii::Lowered(job.target) &&
        std::ranges::find(sources, path) == sources.end() && IsPlainInstallFile(path)) {
      sources.push_back(std::move(path));
    }
  }
  return sources;
}

bool FilesOnDisk::Install(const InstallJob& job, InstallFolder& folder) {
  for (const std::tstring& source : SourcesOf(job)) {
    if (CopyChecked(source, job, folder)) return true;
  }
  return false;
}

// The copy is written beside the target and joins the batch only once its bytes, as read, are
// the expected ones: the target holds its old or its new bytes whenever the run is cut.
bool FilesOnDisk::CopyChecked(const std::tstring& source, const InstallJob& job,
                              InstallFolder& folder) const {
  if (!folder.TryReady(job.target)) return false;
  platform::ReplacementFile copy;
  std::tstring target = job.target;
  target.ToBackslashes();
  if (!copy.Create(platform::GetFullPath(target))) return false;
  const std::optional<Digests> digests =
      DigestsOf(source, *OrgSizeOf(job.entry), job.expected->sha256.has_value(), stop_, &copy);
  if (!digests || digests->md5 != job.expected->md5 || digests->sha256 != job.expected->sha256) {
    return false;  // the copy goes with its object
  }
  folder.Batch().Add(std::move(copy));
  folder.Installed(job);
  return true;
}

bool FilesOnDisk::HoldsRemoved(const RemovedFile& file) const {
  const bool signed_bytes = sha256_ && file.sha256.has_value();
  const std::optional<Digests> digests = DigestsOf(file.path, file.size, signed_bytes, stop_);
  return digests && digests->md5 == file.md5 && (!signed_bytes || digests->sha256 == file.sha256);
}

int FilesOnDisk::RemoveDropped(const InstallFolder& folder) const {
  int removed = 0;
  for (const RemovedFile& file : removed_) {
    if (folder.Lists(file.path) || IsUpdatersOwn(file.path) || !IsPlainInstallFile(file.path) ||
        !HoldsRemoved(file)) {
      continue;
    }
    removed += platform::RemoveFile(file.path) ? 1 : 0;
  }
  return removed;
}
