#include "update/update_run.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/ascii.h"
#include "base/exception.h"
#include "base/hex.h"
#include "platform/file.h"
#include "site/install_names.h"
#include "site/release_state.h"
#include "site/site_names.h"
#include "storage/default_file.h"
#include "storage/folder_bounds.h"
#include "storage/i_file.h"
#include "storage/one_entry_package.h"
#include "storage/opened_file.h"
#include "storage/package_format.h"
#include "update/block_update.h"
#include "update/digest_ahead.h"
#include "update/release_protocol.h"
#include "update/streamed_install.h"

namespace {

// Writes a downloaded body to the temporary file as it arrives.
class TemporaryFileSink : public IHttpBodySink {
 public:
  explicit TemporaryFileSink(const std::tstring& path) : path_(path) {}
  // No package of the listed file is longer than `limit`: a longer download is cut off there, so
  // that a server cannot fill the disk.
  void LimitTo(std::uint64_t limit, const std::tstring& listed_path) {
    limit_ = limit;
    listed_path_ = listed_path;
  }
  void OnBegin(bool announced, std::uint32_t length) override {
    if (announced && length > limit_) RefuseLength();
    file_.Open(path_.c_str(), kOpenBinaryNewWriteOnly);
    created_ = true;
  }
  // The bytes also go to install, which writes the file while the package downloads.
  void InstallWhileDownloading(StreamedInstall* install) { install_ = install; }
  void OnData(const std::uint8_t* bytes, std::size_t size) override {
    if (size > limit_ - written_) RefuseLength();
    written_ += size;
    // A short write (a full disk) must not leave a cut package to be installed.
    if (file_.Write(bytes, static_cast<std::uint32_t>(size)) != kResultOk) {
      throw DownloadManagerException("Temp File Error.", true);
    }
    if (install_ != nullptr) install_->Feed(bytes, size);
  }
  void OnEnd(std::uint32_t) override { file_.Close(); }
  // The file is this run's own: a name that another file took in the meantime is not removed.
  bool Created() const { return created_; }

 private:
  [[noreturn]] void RefuseLength() const {
    throw DownloadManagerException("Package data exceed the listed size : " + listed_path_, true);
  }

  std::tstring path_;
  DefaultFile file_;
  std::uint64_t limit_ = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t written_ = 0;
  std::tstring listed_path_;
  bool created_ = false;
  StreamedInstall* install_ = nullptr;
};

// Hands a whole package fetched as one range to the temporary file's sink, with its progress.
class WholeRangeSink : public IHttpRangeSink {
 public:
  WholeRangeSink(TemporaryFileSink& sink, std::function<void(std::uint64_t)> progress)
      : sink_(sink), progress_(std::move(progress)) {}
  void OnRangeData(std::uint64_t, const std::uint8_t* bytes, std::size_t size) override {
    if (received_ == 0) sink_.OnBegin(false, 0);
    sink_.OnData(bytes, size);
    received_ += size;
    progress_(received_);
  }

 private:
  TemporaryFileSink& sink_;
  std::function<void(std::uint64_t)> progress_;
  std::uint64_t received_ = 0;
};

// What bounds the download of a file whose size field is no number: the server may mean anything
// by that field, so the file is fetched all the same, up to a size no game file reaches.
constexpr std::uint64_t kUnknownSizeCap = std::uint64_t{2} << 30;

// The listed size of a file to download: the size in bytes as the list builder writes it, or the
// fixed cap for any other text.
std::uint64_t ListedSize(const FileEntry& entry) {
  return OrgSizeOf(entry).value_or(kUnknownSizeCap);
}

// The listed digest's bytes. The server may write its hexadecimal digits in either letter case;
// the bytes are what every check compares.
bool ListedDigest(const FileEntry& entry, std::span<std::uint8_t> bytes) {
  return DecodeHex(ascii::Lowered(entry.md5), bytes);
}

void RemoveTemporary(const std::tstring& path) { platform::RemoveFile(path); }

// What the listed file must be: its size when the size field is a number, and its digest. None
// when the digest field is no digest text, which no file can match.
std::optional<ExpectedContent> ExpectedOf(const FileEntry& entry) {
  ExpectedContent expected;
  if (!ListedDigest(entry, expected.md5)) return std::nullopt;
  expected.size = OrgSizeOf(entry);
  return expected;
}

// A folder of the install that is a link or junction to elsewhere is never written through.
void RefuseFolderOutsideInstall(const FileEntry& entry, const std::tstring& target) {
  if (LeavesFolderOnDisk("", target)) {
    throw DownloadManagerException("Listed path leaves the install folder : " + entry.path, true);
  }
}

// A path as the listed names are kept: one spelling per file on a system that ignores case.
std::tstring FoldedName(std::tstring path) {
  path.ToBackslashes();
  path.ToLower();
  return path;
}

// Smaller files come whole: by blocks they would cost four requests where the whole costs one,
// to save at most their size, and a release of small files asks for no block data at all.
constexpr std::uint64_t kSmallestBlockFile = 1 << 20;

constexpr char kTemporaryPackageFormat[] = "file%d.dl";

// What a killed run can have left at the top of the install folder: a temporary package
// ("file<digits>.dl"). A file of the game may be named so too, so only one that begins as a
// package (or is empty, or a shorter piece of its start) is such a leftover; anything else stays,
// and the run passes its name over.
bool IsLeftoverPackage(const std::tstring& name) {
  std::tstring lower = name;
  lower.ToLower();
  const std::string_view suffix = ".dl";
  const bool numbered = lower.size() > 4 + suffix.size() && lower.starts_with("file") &&
                        lower.ends_with(suffix) &&
                        lower.find_first_not_of("0123456789", 4) == lower.size() - suffix.size();
  return numbered && IsPackageStart(name);
}

// The installed file's digest text (empty when it could not be read) is the listed digest.
bool InstalledMatches(const std::tstring& digest, const FileEntry& entry) {
  std::array<std::uint8_t, 16> installed, listed;
  return DecodeHex(digest, installed) && ListedDigest(entry, listed) && installed == listed;
}

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

}  // namespace

UpdateOutcome UpdateRun::Run() noexcept {
  // An abort left from an earlier run must not end this one; a stop requested already aborts it
  // at once. The client watches the stop itself: a callback run by the stopping thread would have
  // to be waited for when it goes, and MinGW's library can lose that wake-up.
  context_.client.SetAbort(false);
  context_.client.SetStop(context_.stop);
  try {
    Steps();
    outcome_.completed = true;
  } catch (const Exception& failure) {
    outcome_.error = failure.GetText();
  } catch (...) {
    outcome_.error = "Unknown Error.";
  }
  // The files checked before a failure or a stop are kept: the next run need not fetch them. Of
  // the file whose digests were still running, only a checked install is; nothing more is
  // installed after a failure.
  try {
    Settle(false);
  } catch (...) {
  }
  std::string failed;
  batch_.Commit(failed);
  // The next run fetches its list unreported, as this one did, and with its own stop.
  context_.client.SetHook(nullptr, 0);
  context_.client.SetStop({});
  return outcome_;
}

void UpdateRun::Steps() {
  UseConfiguredProxy(context_.client);
  // Read first: a damaged state refuses the run before anything is fetched.
  const InstallState state = ReadInstallState();
  const ListDigest list = FetchFileList(context_.client, context_.list_url, list_);
  // With a publisher's key, or once the install follows a trust root whatever its configuration
  // now says, nothing is fetched before the release is known to be signed by the trusted keys.
  if (state.root || !context_.public_key.empty()) {
    const KeySet configured =
        context_.public_key.empty() ? KeySet{} : ParseKeySet(context_.public_key);
    signed_ = FetchVerifiedRelease(context_.client, context_.list_url, list, list_.size(), state,
                                   configured);
  }
  PrepareInstallFolder();
  blocks_.emplace(context_.client,
                  block_update::Site{.list_url = context_.list_url,
                                     .list = list,
                                     .list_entries = list_.size(),
                                     .keys = signed_ ? signed_->root.keys : KeySet{}},
                  context_.stop, [this](std::uint64_t needed, std::uint64_t fetched) {
                    Report(task_text_, needed, fetched);
                  });
  context_.client.SetHook(&UpdateRun::Hook, reinterpret_cast<std::uintptr_t>(this));
  outcome_.total_files = static_cast<int>(list_.size());
  // The installed files are digested ahead on every core while the run goes through the list
  // in order; a stop ends the digests with the run.
  {
    DigestAhead::Options options;
    options.sha256 = signed_.has_value();
    DigestAhead digests(list_, context_.stop, options);
    for (std::size_t i = 0; i < list_.size(); ++i) {
      Process(list_[i], digests, i);
      ThrowIfStopped();
    }
    Settle();
  }
  context_.client.SetHook(nullptr, 0);
  // A run killed while it wrote the state left the state's new file beside it: cleared here even
  // when no file of this run went into the install folder.
  if (signed_) PrepareFolderOf(kReleaseStateName);
  IFileManager::CommitBatch(batch_);
  SyncWrittenFolders();
  if (signed_ && !RecordInstallState({signed_->release.serial, signed_->root})) {
    throw DownloadManagerException("Cannot record the installed release.", true);
  }
  Report("完了.");
}

void UpdateRun::ThrowIfStopped() const {
  if (context_.stop.stop_requested()) throw DownloadManagerException("Task Aborted.", false);
}

void UpdateRun::Report(const std::tstring& text, std::uint64_t size, std::uint64_t received) {
  if (context_.report) {
    context_.report(outcome_.total_files, outcome_.files_done, text, size, received);
  }
}

void UpdateRun::Process(const FileEntry& entry, DigestAhead& digests, std::size_t index) {
  task_text_ = entry.path;
  Report(entry.path);
  // Opening a pipe or a device could wait for ever, and no download can be put in its place.
  if (platform::IsSpecialFile(entry.path)) {
    throw DownloadManagerException("Listed path is not a regular file : " + entry.path, true);
  }
  const std::tstring digest = digests.Take(index);
  // A stop seen at this file's turn ends the run before the file counts, whether its digest was
  // made ahead or cut short by the stop.
  ThrowIfStopped();
  // A signed release vouches for each file's SHA-256, which no one can forge as MD5 can be; the
  // list line it signed comes from the same bytes.
  if (signed_ ? digest == EncodeHex(signed_->release.files[index])
              : InstalledMatches(digest, entry)) {
    ++outcome_.files_done;
    return;
  }
  if (!InstallByBlocks(entry, index)) {
    const std::tstring temporary = TemporaryName();
    std::unique_ptr<StreamedInstall> streamed = Download(entry, index, temporary);
    // The file before has had this transfer's time to finish its digests.
    Settle();
    if (streamed) {
      pending_ = {std::move(streamed), entry, index, temporary};
    } else {
      Install(entry, index, temporary);
    }
  }
  // Counted as before, though its verdict may come with the next file: only a file that fails it
  // is taken back.
  ++outcome_.files_done;
  if (batch_.Full()) IFileManager::CommitBatch(batch_);
}

void UpdateRun::Settle(bool install_otherwise) {
  Pending pending = std::exchange(pending_, {});
  if (!pending.entry) return;
  const bool installed = pending.install && pending.install->Complete(&batch_);
  if (installed) NoteInstalled(*pending.entry, TargetOf(*pending.entry));
  pending.install.reset();
  if (!installed) --outcome_.files_done;
  if (!installed && install_otherwise) {
    Install(*pending.entry, pending.index, pending.temporary);
    ++outcome_.files_done;
  }
  RemoveTemporary(pending.temporary);
}

std::tstring UpdateRun::PackageUrl(const FileEntry& entry) const {
  return ::PackageUrl(context_.list_url, entry.path, entry.orgsize);
}

std::tstring UpdateRun::TemporaryName() const {
  // Numbered by the files done so far, which count the file whose verdict is still to come, so that
  // its package, kept until then, has a name of its own. Listed files win a clash of names, as does
  // anything already on disk.
  for (int n = outcome_.files_done;; ++n) {
    std::tstring name = std::tstring::FormatNew(kTemporaryPackageFormat, n);
    if (!listed_.contains(name) && !platform::PathExists(name)) return name;
  }
}

void UpdateRun::PrepareInstallFolder() {
  for (std::size_t i = 0; i < list_.size(); ++i) {
    const std::tstring name = FoldedName(list_[i].path);
    // The list's parse refuses two names of one file within each piece it reads; here the whole
    // list is seen. Either would be fetched again on every run.
    if (!listed_.insert(name).second) {
      std::size_t earlier = 0;
      while (FoldedName(list_[earlier].path) != name) ++earlier;
      throw DownloadManagerException("List file error(names differ only in case) : " +
                                         list_[earlier].path + ", " + list_[i].path,
                                     true);
    }
  }
  // One updater runs per install folder, so a temporary package found now was left by a run that
  // ended without cleaning up. A file of the game may have such a name too; it is no package.
  std::vector<platform::DirectoryItem> items;
  if (!platform::ListDirectory(".", &items)) return;
  for (const platform::DirectoryItem& item : items) {
    std::tstring name = item.name;
    name.ToLower();
    if (!item.is_directory && !listed_.contains(name) && IsLeftoverPackage(item.name)) {
      platform::RemoveFile(item.name);
    }
  }
}

void UpdateRun::PrepareFolderOf(const std::tstring& target) {
  std::tstring folder(target);
  folder.ToBackslashes();
  do {
    folder.RemoveFileSpec();
    // The folders above a noted one were noted with it.
    if (!written_folders_.insert(folder).second) return;
    platform::RemoveAbandonedReplacements(folder);
  } while (!folder.empty());
}

void UpdateRun::SyncWrittenFolders() {
  // New names must survive a power loss before the run may say it has completed.
  for (const std::tstring& folder : written_folders_) platform::SyncFolder(folder);
}

std::unique_ptr<StreamedInstall> UpdateRun::Download(const FileEntry& entry, std::size_t index,
                                                     const std::tstring& temporary) {
  // A Stop that came while the last file was being checked or installed ends the run here,
  // before another transfer begins.
  ThrowIfStopped();
  context_.client.SetUserAgent(entry.md5);
  // A server that serves the release's block data serves ranges, over kept connections: there
  // the whole package comes as one range, without a connection of its own. Anything unexpected
  // in that reply, as anywhere on the block path, leaves the usual request to fetch it again.
  std::unique_ptr<StreamedInstall> install;
  if (OrgSizeOf(entry) && blocks_->ServesRanges()) {
    try {
      if (Fetch(entry, index, temporary, true, install)) return install;
    } catch (const Exception& failure) {
      if (!failure.IsError()) throw;
    }
  }
  Fetch(entry, index, temporary, false, install);
  return install;
}

bool UpdateRun::Fetch(const FileEntry& entry, std::size_t index, const std::tstring& temporary,
                      bool by_range, std::unique_ptr<StreamedInstall>& install) {
  const std::uint64_t limit = OneEntryPackageSize(entry.path, ListedSize(entry));
  HttpClient& client = context_.client;
  const std::tstring url = PackageUrl(entry);
  TemporaryFileSink sink(temporary);
  sink.LimitTo(limit, entry.path);
  install.reset();
  if (ExpectedOf(entry)) {
    const std::tstring target = TargetOf(entry);
    install = std::make_unique<StreamedInstall>(
        entry.path, target, ExpectedFor(entry, index),
        [this, target] { return TargetReady(target); }, digests_);
    sink.InstallWhileDownloading(install.get());
  }
  try {
    if (by_range) {
      // The reply's progress is the sink's: the hook would see the held document's figures.
      client.SetHook(nullptr, 0);
      WholeRangeSink whole(
          sink, [this, limit](std::uint64_t received) { Report(task_text_, limit, received); });
      const bool served = client.RequestRange(url, 0, limit - 1, whole).served;
      client.SetHook(&UpdateRun::Hook, reinterpret_cast<std::uintptr_t>(this));
      if (!served) return false;
      sink.OnEnd(0);
    } else {
      client.Request(url, sink);
    }
  } catch (...) {
    client.SetHook(&UpdateRun::Hook, reinterpret_cast<std::uintptr_t>(this));
    sink.OnEnd(0);
    if (sink.Created()) RemoveTemporary(temporary);
    throw;
  }
  return true;
}

bool UpdateRun::TargetReady(const std::tstring& target) {
  // Whatever would refuse the target is left for the install from the package to report.
  if (platform::IsSpecialFile(target) || LeavesFolderOnDisk("", target)) return false;
  try {
    IFileManager::CreateDirectory(target);
  } catch (const Exception&) {
    return false;
  }
  PrepareFolderOf(target);
  return true;
}

std::tstring UpdateRun::TargetOf(const FileEntry& entry) {
  std::tstring name = entry.path;
  name.ToUpper();
  // The running updater cannot be replaced: its new version waits under the swap name.
  return name == kUpdaterName ? std::tstring(kUpdaterSwapName) : entry.path;
}

ExpectedContent UpdateRun::ExpectedFor(const FileEntry& entry, std::size_t index) const {
  std::optional<ExpectedContent> expected = ExpectedOf(entry);
  if (!expected) throw Mismatch(entry);
  // The signed release matches the list line for line.
  if (signed_) expected->sha256 = signed_->release.files[index];
  return *expected;
}

void UpdateRun::NoteInstalled(const FileEntry& entry, const std::tstring& target) {
  std::tstring name = entry.path;
  name.ToUpper();
  if (name == kGamePackageName) outcome_.package_replaced = true;
  // A part a cut run left for this file is of no use once the file is in place.
  platform::RemoveFile(block_update::PartPathOf(target));
}

bool UpdateRun::InstallByBlocks(const FileEntry& entry, std::size_t index) {
  const std::tstring target = TargetOf(entry);
  const std::tstring part = FoldedName(block_update::PartPathOf(target));
  // What cannot take this way fails or completes on the whole download's, as it always did:
  // a digest field that is no digest, a target that is no regular file. Without a listed size
  // nothing bounds the file; a listed file under the part's name stays its own.
  const std::optional<std::uint64_t> size = OrgSizeOf(entry);
  if (!blocks_ || !ExpectedOf(entry) || !size || *size < kSmallestBlockFile ||
      platform::IsSpecialFile(target) || listed_.contains(part)) {
    return false;
  }
  const ExpectedContent expected = ExpectedFor(entry, index);
  ThrowIfStopped();
  RefuseFolderOutsideInstall(entry, target);
  IFileManager::CreateDirectory(target);
  PrepareFolderOf(target);
  // The range requests report their own progress: the bytes fetched of those needed.
  context_.client.SetHook(nullptr, 0);
  const bool installed = blocks_->Install({.index = index,
                                           .source = entry.path,
                                           .target = target,
                                           .package_url = PackageUrl(entry),
                                           .user_agent = entry.md5,
                                           .expected = expected});
  context_.client.SetHook(&UpdateRun::Hook, reinterpret_cast<std::uintptr_t>(this));
  if (installed) NoteInstalled(entry, target);
  return installed;
}

void UpdateRun::Install(const FileEntry& entry, std::size_t index, const std::tstring& temporary) {
  VarneFileManager& files = context_.files;
  try {
    files.ClearFileList();
    files.ReadPackage(temporary.c_str());
    {
      const OpenedFile file(files, entry.path.c_str(), kOpenBinaryReadOnly);
      if (!file) throw DownloadManagerException("Temp File Error.", true);
      const std::tstring target = TargetOf(entry);
      if (platform::IsSpecialFile(target)) {
        throw DownloadManagerException("Listed path is not a regular file : " + target, true);
      }
      const ExpectedContent expected = ExpectedFor(entry, index);
      if (!RecordMayMatch(files, entry, expected)) throw Mismatch(entry);
      RefuseFolderOutsideInstall(entry, target);
      IFileManager::CreateDirectory(target);
      PrepareFolderOf(target);
      if (!files.ExtractChecked(file.handle(), target, expected, &batch_)) throw Mismatch(entry);
      NoteInstalled(entry, target);
    }
    files.ClearFileList();
  } catch (...) {
    RemoveTemporary(temporary);
    throw;
  }
  RemoveTemporary(temporary);
}

int UpdateRun::Hook(int, HttpClient* client, std::uintptr_t user) {
  auto& run = *reinterpret_cast<UpdateRun*>(user);
  run.Report(run.task_text_, client->GetDataSize(), client->GetReceivedSize());
  return 0;
}
