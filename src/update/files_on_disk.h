// What a run does with bytes that already stand in the install folder under another name: a listed
// file that differs is copied from a file holding its exact bytes (a file the release renamed,
// copied or moved into another folder, known by the list's digests and by those of the files
// earlier releases removed) instead of being fetched; and once the new files are in place, each
// file that earlier releases installed and this one no longer lists is removed while it still
// holds exactly the bytes that release installed, so that a player's own edits, saves and mods
// stay. A file the release lists is never removed, and no link is followed out of the install.
// Used by the run's thread alone; the current directory is the install folder.
#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <tuple>
#include <vector>

#include "base/tstring.h"
#include "site/file_list.h"
#include "site/removed_files.h"
#include "storage/md5.h"
#include "update/install_folder.h"
#include "update/install_way.h"

class FilesOnDisk {
 public:
  // list: the run's, which outlives this. removed: the site's document for the release the run
  // takes (none without one). sha256: the release is signed, and a file is removed only while its
  // SHA-256 too is what the release that listed it signed.
  FilesOnDisk(const FileList& list, std::optional<RemovedFiles> removed, bool sha256,
              std::stop_token stop);

  // The files on disk whose bytes may be the job's (the same listed size and MD5), best first;
  // none when the job's file must be fetched. For a plan of what a run fetches: a file with a
  // source is copied, and fetched only when no source holds its bytes after all.
  std::vector<std::tstring> SourcesOf(const InstallJob& job);

  // Puts the job's file in the folder's batch from the first source whose bytes, read whole, are
  // the expected ones; false when none is (the file is then fetched). Throws "Task Aborted." on a
  // stop.
  bool Install(const InstallJob& job, InstallFolder& folder);

  // Once every new file is in place: removes each file of the document that the release does not
  // list and that holds the bytes the earlier release installed. How many went.
  int RemoveDropped(const InstallFolder& folder) const;

 private:
  // A file on disk that may hold some listed bytes: a line of the list or of the removed files.
  struct Source {
    std::uint64_t size;
    MD5Bytes md5;
    bool listed;
    std::size_t at;
    auto Key() const { return std::tie(size, md5, listed); }
  };
  void Index();
  bool CopyChecked(const std::tstring& source, const InstallJob& job, InstallFolder& folder) const;
  bool HoldsRemoved(const RemovedFile& file) const;

  const FileList& list_;
  std::vector<RemovedFile> removed_;
  bool sha256_;
  std::stop_token stop_;
  bool indexed_ = false;
  std::vector<Source> sources_;  // by size, MD5 and the removed files first
};
