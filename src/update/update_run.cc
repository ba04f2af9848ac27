#include "update/update_run.h"

#include <array>
#include <chrono>
#include <future>
#include <iostream>
#include <optional>
#include <span>

#include "base/ascii.h"
#include "base/exception.h"
#include "base/hex.h"
#include "net/connection_pool.h"
#include "net/http_client.h"
#include "net/rate_cap.h"
#include "platform/file.h"
#include "platform/folder_access.h"
#include "site/install_names.h"
#include "site/release_state.h"
#include "site/site_names.h"
#include "storage/varne_file_manager.h"
#include "update/block_update.h"
#include "update/block_way.h"
#include "update/digest_ahead.h"
#include "update/download_window.h"
#include "update/files_on_disk.h"
#include "update/free_space.h"
#include "update/install_folder.h"
#include "update/install_way.h"
#include "update/package_transfer.h"
#include "update/package_way.h"
#include "update/release_protocol.h"
#include "update/release_reads.h"
#include "update/site_copies.h"
#include "update/streamed_way.h"

namespace {

// The listed digest's bytes. The server may write its hexadecimal digits in either letter case;
// the bytes are what every check compares.
bool ListedDigest(const FileEntry& entry, std::span<std::uint8_t> bytes) {
  return DecodeHex(ascii::Lowered(entry.md5), bytes);
}

// What the listed file must be: its digest, and its size where the size field is vouched for as
// one (the server may mean anything by it). None when the digest field is no digest text, which no
// file can match.
std::optional<ExpectedContent> ExpectedOf(const FileEntry& entry, bool sizes_vouched) {
  ExpectedContent expected;
  if (!ListedDigest(entry, expected.md5)) return std::nullopt;
  if (sizes_vouched) expected.size = OrgSizeOf(entry);
  return expected;
}

// The installed file's digest text (empty when it could not be read) is the listed digest.
bool InstalledMatches(const std::tstring& digest, const FileEntry& entry) {
  std::array<std::uint8_t, 16> installed, listed;
  return DecodeHex(digest, installed) && ListedDigest(entry, listed) && installed == listed;
}

// The install's state. With no key of the publisher's configured, a file of the state's name that
// does not read as one is the game's own (an older list may even list it): it is left alone, and
// the run goes on unsigned as it always did. A state that reads and holds a root still signs it.
InstallState StateOf(bool keyed) {
  if (keyed) return ReadInstallState();
  try {
    return ReadInstallState();
  } catch (const Exception&) {
    std::cerr << kReleaseStateName
              << " holds no state of signed releases: it is left as it is, and the update goes on "
                 "without signatures.\n";
    return {};
  }
}

// Where the file goes: the running updater cannot be replaced, so its new version waits under the
// swap name.
std::tstring TargetOf(const FileEntry& entry) {
  std::tstring name = entry.path;
  name.ToUpper();
  return name == kUpdaterName ? std::tstring(kUpdaterSwapName) : entry.path;
}

}  // namespace

class UpdateRun::Impl {
 public:
  explicit Impl(UpdateContext context) : context_(std::move(context)) {}
  UpdateOutcome Run() noexcept;

 private:
  struct Ways;
  class PendingVerdict;

  void Steps();
  // With a publisher's key, or once the install follows a trust root whatever its configuration
  // now says, nothing is fetched before the release is known to be signed by the trusted keys.
  // The list goes into list_, the release into signed_, the copies that serve it into copies_.
  ListDigest ReadRelease(const InstallState& state);
  void InstallFiles();
  // Checks list entry `index` with its digest from `digests`, and installs it when it differs.
  void Process(const FileEntry& entry, DigestAhead& digests, std::size_t index);
  bool IsCurrent(const std::tstring& digest, const FileEntry& entry, std::size_t index) const;
  // The digest text a current file of entry `index` has, as IsCurrent compares it.
  std::string ExpectedText(std::size_t index) const;
  // Looks at every listed file once, before any is read: its stamp may vouch for it (into
  // vouched_, when the check's policy allows stamps). Gives each installed file's size.
  std::vector<std::optional<std::uint64_t>> LookAtFiles();
  // Has the digests ahead count the vouched files as current, and stamp the files they read.
  void UseStamps(DigestAhead::Options& options);
  void SaveStamps(bool completed) noexcept;
  // Something vouches for the list's size fields as sizes: the signature, or the release's block
  // data, fetched when not asked for yet.
  bool SizesVouched();
  // The same without fetching anything.
  bool SizesVouchedAlready() const;
  InstallJob JobFor(const FileEntry& entry, std::size_t index) const;
  // Asks the release's site what earlier releases removed, on a client of its own while the run
  // checks the installed files: a current install waits for no more round trips than the list's.
  void ReadRemoved(const ListDigest& list);
  // The files on disk, once the document of the removed files has come (or is known missing).
  FilesOnDisk& OnDisk();
  InstallWay& WayFor(const InstallJob& job);
  void Finish();
  // The files checked before a failure or a stop are kept: the next run need not fetch them.
  void KeepChecked() noexcept;
  // The failure's cause for the box, with what the raising code could not name: the run's server,
  // the install's drive.
  void KeepCause(const Exception& failure);
  void Report(const std::tstring& text, std::uint64_t size = 0, std::uint64_t received = 0,
              bool checking = false);
  // Reports the current file's transfer; a reporter that moves one file after another is counted
  // in the run's bytes as such (the window counts its own).
  TransferProgress TransferReport(bool one_at_a_time = true);
  // Has the client go through the configured proxy, keep its connections in the run's pool and
  // receive within the run's cap.
  void ShareConnections(HttpClient& client);

  UpdateContext context_;
  UpdateOutcome outcome_;
  FileList list_;
  std::tstring task_text_;
  // The release the publisher signed and the root that vouches for its keys, when the run is
  // signed.
  std::optional<TrustedRelease> signed_;
  InstallFolder folder_;
  std::shared_ptr<ConnectionPool> pool_;
  std::shared_ptr<RateCap> cap_;
  std::unique_ptr<Ways> ways_;  // after folder_, which the ways write into
  std::unique_ptr<FileStamps> stamps_;
  std::vector<char> vouched_;           // by entry, until the digests ahead take it
  std::unique_ptr<SiteCopies> copies_;  // the copies serving the release taken, once it is read
  HttpClient removed_client_;           // asks for it beside the run's client
  std::future<std::optional<RemovedFiles>> removed_;  // the document, while it comes
  std::unique_ptr<FilesOnDisk> on_disk_;              // once it has come
  std::uint64_t space_needed_ = 0;  // on the install folder's volume, once the list is known
  FetchTally tally_;
};

// The verdict on an installed file while its digest may still be running.
class UpdateRun::Impl::PendingVerdict final : public Verdict {
 public:
  PendingVerdict(Impl& run, DigestAhead& digests, std::size_t index)
      : run_(run), digests_(digests), index_(index) {}

  std::optional<bool> Known() const override {
    if (found_different_) return true;
    const std::optional<DigestAhead::Result> digest = digest_ ? digest_ : digests_.Peek(index_);
    if (!digest) return std::nullopt;
    // Left unread for its size, it differs once something vouches for that size.
    if (!*digest) return run_.SizesVouchedAlready() ? std::optional(true) : std::nullopt;
    return !run_.IsCurrent(**digest, run_.list_[index_], index_);
  }

  bool Differs() override {
    if (!digest_) {
      digest_ = digests_.Take(index_);
      // A stop seen at this file's turn ends the run before the file counts, whether its digest
      // was made ahead or cut short by the stop.
      ThrowIfStopped(run_.context_.stop);
      // Left unread for a size that nothing vouches for: the server may mean anything by it.
      if (!*digest_ && !run_.SizesVouched()) {
        digest_ = DigestAhead::Result(digests_.ReadNow(index_));
        ThrowIfStopped(run_.context_.stop);
      }
    }
    return found_different_ || !*digest_ || !run_.IsCurrent(**digest_, run_.list_[index_], index_);
  }

  void FoundDifferent() override {
    if (digest_) return;
    digests_.Discard(index_);
    ThrowIfStopped(run_.context_.stop);
    digest_.emplace();
    found_different_ = true;
  }

 private:
  Impl& run_;
  DigestAhead& digests_;
  const std::size_t index_;
  std::optional<DigestAhead::Result> digest_;  // once taken
  bool found_different_ = false;
};

// The ways a run installs files by, and what they share; made once the list is known.
struct UpdateRun::Impl::Ways {
  Ways(Impl& run, const ListDigest& list)
      : blocks(run.context_.client,
               {.list_url = run.context_.list_url,
                .list = list,
                .list_entries = run.list_.size(),
                .keys = run.signed_ ? run.signed_->root.keys : KeySet{}},
               run.context_.stop, run.TransferReport(),
               {.setup = [&run](HttpClient& client) { run.ShareConnections(client); },
                .count = run.context_.transfers}),
        server{.serves_ranges = [this] { return blocks.ServesRanges(); }},
        transfer(run.context_.client, server, run.context_.stop, run.TransferReport()),
        window(
            run.context_.transfers, [&run](HttpClient& client) { run.ShareConnections(client); },
            server, run.context_.files, run.folder_, run.context_.stop, run.outcome_.files_done,
            run.TransferReport(false)),
        whole(transfer, window, run.context_.files, run.folder_),
        streamed(window),
        by_blocks(blocks, run.folder_, run.context_.stop, streamed, run.context_.early_block_size,
                  run.copies_.get()) {
    server.copies = run.copies_.get();
  }

  block_update::BlockUpdater blocks;
  PackageServer server;
  PackageTransfer transfer;
  DownloadWindow window;
  PackageWay whole;
  StreamedWay streamed;
  BlockWay by_blocks;
};

UpdateRun::UpdateRun(UpdateContext context) : impl_(std::make_unique<Impl>(std::move(context))) {}

UpdateRun::~UpdateRun() = default;

UpdateOutcome UpdateRun::Run() noexcept { return impl_->Run(); }

UpdateOutcome UpdateRun::Impl::Run() noexcept {
  // An abort left from an earlier run must not end this one; a stop requested already aborts it
  // at once. The client watches the stop itself: a callback run by the stopping thread would have
  // to be waited for when it goes, and MinGW's library can lose that wake-up.
  context_.client.SetAbort(false);
  context_.client.SetStop(context_.stop);
  pool_ = std::make_shared<ConnectionPool>(context_.transfers);
  if (context_.rate_cap > 0) cap_ = std::make_shared<RateCap>(context_.rate_cap);
  try {
    Steps();
    outcome_.completed = true;
  } catch (const Exception& failure) {
    outcome_.error = failure.GetText();
    KeepCause(failure);
  } catch (...) {
    outcome_.error = "Unknown Error.";
  }
  KeepChecked();
  // A run that ended before it needed the removed files does not wait for them.
  if (removed_.valid()) {
    removed_client_.SetAbort(true);
    removed_.wait();
  }
  outcome_.package_replaced = folder_.PackageReplaced();
  // The next run has its own stop, connections and cap.
  context_.client.SetStop({});
  context_.client.UsePool(nullptr);
  context_.client.UseRateCap(nullptr);
  context_.client.SetLimits(std::nullopt);
  return outcome_;
}

void UpdateRun::Impl::Steps() {
  ShareConnections(context_.client);
  // Read first: with a key, a damaged state refuses the run before anything is fetched.
  const InstallState state = StateOf(!context_.public_key.empty());
  const ListDigest list = ReadRelease(state);
  folder_.Prepare(list_);
  ReadRemoved(list);
  // Before the first file's byte is fetched: a disk without room refuses the run with nothing
  // written.
  space_needed_ = SpaceNeeded(list_, LookAtFiles(), TargetOf);
  RequireSpace(space_needed_);
  ways_ = std::make_unique<Ways>(*this, list);
  outcome_.total_files = static_cast<int>(list_.size());
  InstallFiles();
  Finish();
}

ListDigest UpdateRun::Impl::ReadRelease(const InstallState& state) {
  std::vector<std::tstring> urls = {context_.list_url};
  urls.insert(urls.end(), context_.mirror_urls.begin(), context_.mirror_urls.end());
  ReleaseRead read =
      ::ReadRelease({.urls = std::move(urls),
                     .public_key = context_.public_key,
                     .keyed = state.root || !context_.public_key.empty(),
                     .client = context_.client,
                     .setup = [this](HttpClient& client) { ShareConnections(client); },
                     .stop = context_.stop},
                    state);
  context_.list_url = read.list_url;
  list_ = std::move(read.list);
  signed_ = std::move(read.trusted);
  copies_ = std::make_unique<SiteCopies>(std::move(read.serving));
  // A server that connects or sends nothing for a few seconds is left for another copy.
  if (copies_->Several()) context_.client.SetLimits(SiteCopies::Patient());
  return read.digest;
}

void UpdateRun::Impl::InstallFiles() {
  // The installed files are digested ahead on every core while the run goes through the list
  // in order; a stop ends the digests with the run.
  DigestAhead::Options options;
  options.sha256 = signed_.has_value();
  // A signed list vouches for every size; a file large enough to come by blocks is judged at its
  // turn, when the release's block data may vouch for the list's sizes.
  options.unread_from = signed_ ? 0 : kSmallestBlockFile;
  UseStamps(options);
  DigestAhead digests(list_, context_.stop, options);
  for (std::size_t i = 0; i < list_.size(); ++i) {
    Process(list_[i], digests, i);
    ThrowIfStopped(context_.stop);
  }
  ways_->window.Drain();
  outcome_.files_read = static_cast<int>(digests.FilesRead());
}

std::vector<std::optional<std::uint64_t>> UpdateRun::Impl::LookAtFiles() {
  // A list that names the stamp file makes it one of the game's files, which the run may replace.
  if (context_.check.stamps_allowed && !folder_.Lists(kFileStampsName)) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    stamps_ = std::make_unique<FileStamps>(
        list_, context_.check, std::chrono::duration_cast<std::chrono::seconds>(now).count());
  }
  const bool vouching = stamps_ && !stamps_->FullCheck();
  if (vouching) vouched_.assign(list_.size(), 0);
  std::vector<std::optional<std::uint64_t>> sizes(list_.size());
  LookAtListed(list_, context_.stop,
               [&](std::size_t i, const std::optional<platform::FileStamp>& stamp) {
                 if (!stamp) return;
                 sizes[i] = static_cast<std::uint64_t>(stamp->size);
                 if (vouching) vouched_[i] = stamps_->Vouched(i, *stamp, ExpectedText(i));
               });
  ThrowIfStopped(context_.stop);
  return sizes;
}

void UpdateRun::Impl::UseStamps(DigestAhead::Options& options) {
  if (!stamps_) return;
  FileStamps& stamps = *stamps_;
  options.vouched = std::move(vouched_);
  options.expected = [this](std::size_t i) { return ExpectedText(i); };
  options.stamped = [&stamps](std::size_t i, const platform::FileStamp& stamp,
                              std::int64_t taken_ns, const std::string& digest) {
    stamps.Record(i, stamp, taken_ns, digest);
  };
}

void UpdateRun::Impl::SaveStamps(bool completed) noexcept {
  // The stamps only spare a later check reading: one that cannot be saved costs no more than that.
  try {
    if (stamps_ && !stamps_->Save(completed)) {
      std::cerr << kFileStampsName << " could not be written: the next check reads every file.\n";
    }
  } catch (...) {
  }
}

void UpdateRun::Impl::Process(const FileEntry& entry, DigestAhead& digests, std::size_t index) {
  task_text_ = entry.Listed();
  ways_->window.NextTask();
  // Until a transfer reports, the run reads the installed file to tell whether it differs.
  Report(task_text_, 0, 0, true);
  // A file whose stamp vouches for it is current: nothing about it is looked up or fetched.
  if (digests.Vouched(index)) {
    digests.Take(index);
    ++outcome_.files_done;
    return;
  }
  // Opening a pipe or a device could wait for ever, and no download can be put in its place.
  if (platform::IsSpecialFile(entry.path)) {
    throw DownloadManagerException("Listed path is not a regular file : " + entry.path, true);
  }
  PendingVerdict verdict(*this, digests, index);
  // A line that names a file again with the same digest finds what its first line installed.
  if (!folder_.Repeats(index)) {
    const InstallJob job = JobFor(entry, index);
    // A digest already made that finds the file current fetches nothing.
    // A file whose bytes stand on disk under another name is copied from there, not fetched.
    if (ways_->by_blocks.StartsBeforeVerdict(job) && verdict.Known() != false &&
        OnDisk().SourcesOf(job).empty()) {
      ways_->by_blocks.InstallBeforeVerdict(job, verdict);
    } else if (verdict.Differs() && !OnDisk().Install(job, folder_)) {
      WayFor(job).Install(job);
    }
  }
  // Every digest is taken, in list order.
  verdict.Differs();
  // A file whose verdict comes with the next file counts already: only a file that fails it is
  // taken back.
  ++outcome_.files_done;
  folder_.CommitIfFull();
}

std::string UpdateRun::Impl::ExpectedText(std::size_t index) const {
  return signed_ ? EncodeHex(signed_->release.files[index]) : ascii::Lowered(list_[index].md5);
}

void UpdateRun::Impl::ReadRemoved(const ListDigest& list) {
  const KeySet* keys = signed_ ? &signed_->root.keys : nullptr;
  ShareConnections(removed_client_);
  removed_client_.SetStop(context_.stop);
  const auto fetch = [this, keys, list] {
    return FetchRemovedFiles(removed_client_, context_.list_url, keys, list);
  };
  try {
    removed_ = std::async(std::launch::async, fetch);
  } catch (const std::system_error&) {
    // No thread to spare: it is asked for when first needed.
    removed_ = std::async(std::launch::deferred, fetch);
  }
}

FilesOnDisk& UpdateRun::Impl::OnDisk() {
  if (!on_disk_) {
    const bool sha256 = signed_.has_value();
    on_disk_ = std::make_unique<FilesOnDisk>(list_, removed_.get(), sha256, context_.stop);
  }
  return *on_disk_;
}

bool UpdateRun::Impl::SizesVouched() { return signed_ || ways_->blocks.VouchesForSizes(); }

bool UpdateRun::Impl::SizesVouchedAlready() const {
  return signed_ || ways_->blocks.ServesRanges();
}

bool UpdateRun::Impl::IsCurrent(const std::tstring& digest, const FileEntry& entry,
                                std::size_t index) const {
  // A signed release vouches for each file's SHA-256, which no one can forge as MD5 can be; the
  // list line it signed comes from the same bytes.
  return signed_ ? digest == EncodeHex(signed_->release.files[index])
                 : InstalledMatches(digest, entry);
}

InstallJob UpdateRun::Impl::JobFor(const FileEntry& entry, std::size_t index) const {
  // The server knows the file by the list's spelling of its path.
  InstallJob job{.entry = entry,
                 .index = index,
                 .target = TargetOf(entry),
                 .expected = ExpectedOf(entry, signed_.has_value()),
                 .package_url = PackageUrl(context_.list_url, entry.Listed(), entry.orgsize),
                 .files_done = outcome_.files_done};
  // The signed release matches the list line for line.
  if (signed_) job.sha256 = signed_->release.files[index];
  if (job.expected) job.expected->sha256 = job.sha256;
  return job;
}

InstallWay& UpdateRun::Impl::WayFor(const InstallJob& job) {
  if (ways_->by_blocks.Takes(job)) return ways_->by_blocks;
  // Without a digest the bytes cannot be checked as they come.
  if (!job.expected) return ways_->whole;
  return ways_->streamed;
}

void UpdateRun::Impl::Finish() {
  // A run killed while it wrote the state left the state's new file beside it: cleared here even
  // when no file of this run went into the install folder.
  if (signed_) folder_.PrepareFolderOf(kReleaseStateName);
  folder_.Commit();
  SaveStamps(true);
  if (signed_ && !RecordInstallState({signed_->release.serial, signed_->root})) {
    throw DownloadManagerException("Cannot record the installed release.", true);
  }
  // Every new file is in place, and those copied from a removed file have their bytes.
  OnDisk().RemoveDropped(folder_);
  Report("完了.");
}

void UpdateRun::Impl::KeepChecked() noexcept {
  // Of the file whose digests were still running, only a checked install is kept; nothing more is
  // installed after a failure.
  try {
    if (ways_) ways_->window.KeepChecked();
  } catch (...) {
  }
  folder_.KeepChecked();
  if (!outcome_.completed) SaveStamps(false);
}

void UpdateRun::Impl::KeepCause(const Exception& failure) {
  outcome_.cause = failure.Cause();
  outcome_.subjects = failure.Subjects();
  CauseSubjects& subjects = outcome_.subjects;
  if (outcome_.cause == ErrorCause::kNetwork && subjects.first.empty()) {
    subjects.first = ServerOf(context_.list_url);
  }
  if (outcome_.cause == ErrorCause::kDisk && subjects.first.empty()) {
    subjects.first = platform::VolumeOf(".");
    subjects.second = MegabytesShort(space_needed_);
  }
}

void UpdateRun::Impl::Report(const std::tstring& text, std::uint64_t size, std::uint64_t received,
                             bool checking) {
  if (context_.figures) {
    const auto [size_in_window, received_in_window] =
        ways_ ? ways_->window.RunBytes() : std::pair<std::uint64_t, std::uint64_t>();
    FetchFigures figures = tally_.Sum(size_in_window, received_in_window);
    figures.checking = checking;
    context_.figures(figures);
  }
  if (context_.report) {
    context_.report(outcome_.total_files, outcome_.files_done, text, size, received);
  }
}

void UpdateRun::Impl::ShareConnections(HttpClient& client) {
  UseConfiguredProxy(client);
  client.UsePool(pool_);
  if (cap_) client.UseRateCap(cap_);
  if (copies_ && copies_->Several()) client.SetLimits(SiteCopies::Patient());
}

TransferProgress UpdateRun::Impl::TransferReport(bool one_at_a_time) {
  FetchTally::Reporter* reporter = one_at_a_time ? &tally_.Add() : nullptr;
  return [this, reporter](std::uint64_t size, std::uint64_t received) {
    if (reporter != nullptr) FetchTally::Report(*reporter, size, received);
    Report(task_text_, size, received);
  };
}
