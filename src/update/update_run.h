// The body of the download manager's worker: fetch the file list, then for each listed file check
// the installed copy by MD5 and, when it differs, download the file as a one-entry package and
// extract it to its place. Never lets a failure escape; the outcome goes to the manager.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <unordered_set>

#include "base/tstring.h"
#include "update/digest_ahead.h"
#include "update/download_manager.h"
#include "update/release_signature.h"

class UpdateRun {
 public:
  explicit UpdateRun(DownloadManager& manager) : manager_(manager) {}
  void Run() noexcept;

 private:
  // Checks list entry `index` with its digest from `digests`, and downloads and installs it when
  // it differs.
  void Process(const FileEntry& entry, DigestAhead& digests, std::size_t index);
  void Download(const FileEntry& entry, const std::tstring& temporary);
  void Install(const FileEntry& entry, std::size_t index, const std::tstring& temporary);
  // A "file%d.dl" name, numbered from the files done, that no listed path and nothing on disk uses.
  std::tstring TemporaryName() const;
  // Notes the listed paths and removes the temporary packages that a run which ended without
  // cleaning up (killed, crashed) left in the install folder.
  void PrepareInstallFolder();
  // Before the first file goes into a folder: removes the new files that dead runs left there,
  // and notes the folder and those above it, whose entries must be synced before completion.
  void PrepareFolderOf(const std::tstring& target);
  void SyncWrittenFolders();
  void CountDone();
  void SetTask(const std::tstring& text);
  void Fail(const std::tstring& text);
  static int Hook(int step, HttpClient* client, std::uintptr_t user);

  DownloadManager& manager_;
  std::unordered_set<std::string> listed_;  // lower case
  std::set<std::tstring> written_folders_;  // relative to the install folder; "" is the folder
  // The release the publisher signed, when the install has the publisher's key.
  std::optional<ReleaseSignature> release_;
};

// The MD5 text of a disk file, read in blocks; empty when the file cannot be read whole.
std::tstring DigestOfFile(const std::tstring& path);

// Points the client at the proxy that "RV7.conf" and the user's settings choose.
void UseConfiguredProxy(HttpClient& client);

// Fetches the list document at url and appends its entries to list; returns what arrived.
ListDigest FetchFileList(HttpClient& client, const std::tstring& url, FileList& list);

// The path as the update server's query wants it: its UTF-8 bytes percent-encoded, twice.
std::tstring EncodePathForQuery(const std::tstring& path);
