// One update run: fetch the file list, then for each listed file check the installed copy by MD5
// and, when it differs, download the file as a one-entry package and extract it to its place.
// Runs on the caller's thread in the current directory, which is the install folder; never lets a
// failure escape, but hands it back in its outcome.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <stop_token>
#include <unordered_set>

#include "base/tstring.h"
#include "net/http_client.h"
#include "platform/file.h"
#include "site/file_list.h"
#include "storage/varne_file_manager.h"
#include "update/block_update.h"
#include "update/digest_ahead.h"
#include "update/release_protocol.h"
#include "update/streamed_install.h"

// Called on the run's thread: the files listed and done, the task's text (valid only during the
// call), and the transfer's size and bytes received (0 and 0 outside a transfer). A file that only
// its missing blocks bring reports the bytes it needs fetched as the size.
using RunReport = std::function<void(int total, int done, const std::tstring& text,
                                     std::uint64_t size, std::uint64_t received)>;

// Everything a run touches besides the install folder, given by its owner.
struct UpdateContext {
  // Opens each downloaded package; the process's one file manager.
  VarneFileManager& files;
  // Used by the run alone while it runs; its abort is the run's to set and clear.
  HttpClient& client;
  std::tstring list_url;
  // The publisher's keys that releases are checked with, as the configuration names them (one
  // base64 key, or "<k>:<key>,..."); empty: none, unless the install already follows a trust root.
  std::tstring public_key;
  // A stop ends a transfer at once ("Abort by User."), otherwise the run at its next file or
  // block ("Task Aborted.").
  std::stop_token stop;
  RunReport report;
};

struct UpdateOutcome {
  bool completed = false;
  std::tstring error;  // the failure's text when not completed
  int total_files = 0;
  int files_done = 0;
  bool package_replaced = false;  // the game's package file was written
};

class UpdateRun {
 public:
  explicit UpdateRun(UpdateContext context) : context_(std::move(context)) {}
  // A completed run has reported "完了." as its last report. Clears the client's abort first and
  // sets it when the stop is requested.
  UpdateOutcome Run() noexcept;

 private:
  void Steps();
  // Checks list entry `index` with its digest from `digests`, and downloads and installs it when
  // it differs.
  void Process(const FileEntry& entry, DigestAhead& digests, std::size_t index);
  // Installs the file from the blocks it lacks; false when it is to be downloaded whole.
  bool InstallByBlocks(const FileEntry& entry, std::size_t index);
  // Downloads the entry's package to temporary; the install made from it while it downloaded,
  // if any, whose verdict is for Settle to take.
  std::unique_ptr<StreamedInstall> Download(const FileEntry& entry, std::size_t index,
                                            const std::tstring& temporary);
  // One way of Download: as one range of a kept connection, or by the usual request. False when
  // the server does not serve the range.
  bool Fetch(const FileEntry& entry, std::size_t index, const std::tstring& temporary,
             bool by_range, std::unique_ptr<StreamedInstall>& install);
  // Takes the verdict of the file whose install was left to finish its digests beside the next
  // transfer: in place, or (install_otherwise) installed from its downloaded package the usual
  // way.
  void Settle(bool install_otherwise = true);
  // The target's folders are ready to write, false when something would refuse it.
  bool TargetReady(const std::tstring& target);
  void Install(const FileEntry& entry, std::size_t index, const std::tstring& temporary);
  // Where the file goes: the updater's own file waits under the swap name.
  static std::tstring TargetOf(const FileEntry& entry);
  // Throws when the list's digest field is no digest.
  ExpectedContent ExpectedFor(const FileEntry& entry, std::size_t index) const;
  void NoteInstalled(const FileEntry& entry, const std::tstring& target);
  std::tstring PackageUrl(const FileEntry& entry) const;
  // A "file%d.dl" name, numbered from the files done, that no listed path and nothing on
  // disk uses.
  std::tstring TemporaryName() const;
  // Notes the listed paths and removes the temporary packages that a run which ended without
  // cleaning up (killed, crashed) left in the install folder.
  void PrepareInstallFolder();
  // Before the first file goes into a folder: removes the new files that dead runs left there,
  // and notes the folder and those above it, whose entries must be synced before completion.
  void PrepareFolderOf(const std::tstring& target);
  void SyncWrittenFolders();
  void ThrowIfStopped() const;
  void Report(const std::tstring& text, std::uint64_t size = 0, std::uint64_t received = 0);
  static int Hook(int step, HttpClient* client, std::uintptr_t user);

  UpdateContext context_;
  UpdateOutcome outcome_;
  FileList list_;
  std::tstring task_text_;
  std::unordered_set<std::string> listed_;  // lower case
  std::set<std::tstring> written_folders_;  // relative to the install folder; "" is the folder
  // The release the publisher signed and the root that vouches for its keys, when the run is
  // signed.
  std::optional<TrustedRelease> signed_;
  std::optional<block_update::BlockUpdater> blocks_;
  // The files installed but not yet put in place: they are made durable together.
  platform::ReplacementBatch batch_;
  InstallDigests digests_;  // the second core's work on the files installed while downloading
  // The last file installed while downloading, until Settle; after digests_, so that it goes
  // first.
  struct Pending {
    std::unique_ptr<StreamedInstall> install;
    std::optional<FileEntry> entry;  // a copy: the list hands out its entries by value
    std::size_t index = 0;
    std::tstring temporary;
  } pending_;
};
