// The body of the download manager's worker: fetch the file list, then for each listed file check
// the installed copy by MD5 and, when it differs, download the file as a one-entry package and
// extract it to its place. Never lets a failure escape; the outcome goes to the manager.
#pragma once

#include <cstdint>
#include <optional>

#include "base/tstring.h"
#include "update/download_manager.h"
#include "update/release_signature.h"

class UpdateRun {
 public:
  explicit UpdateRun(DownloadManager& manager) : manager_(manager) {}
  void Run() noexcept;

 private:
  void Process(const FileEntry& entry);
  void Download(const FileEntry& entry, const std::tstring& temporary);
  void Install(const FileEntry& entry, const std::tstring& temporary);
  void CountDone();
  void SetTask(const std::tstring& text);
  void Fail(const std::tstring& text);
  static int Hook(int step, HttpClient* client, std::uintptr_t user);

  DownloadManager& manager_;
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
