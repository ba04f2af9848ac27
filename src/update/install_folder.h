// The install folder as a run writes it: the names its list takes, the temporary packages beside
// them, the folders new files go into, and the new files themselves, which are made durable
// together. Used by the run's thread alone; the current directory is the install folder.
#pragma once

#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "base/tstring.h"
#include "platform/file.h"
#include "site/file_list.h"
#include "update/install_way.h"

class InstallFolder {
 public:
  // Notes the listed paths and removes the temporary packages that a run which ended without
  // cleaning up (killed, crashed) left. Throws when two lines name one file with two digests.
  void Prepare(const FileList& list);
  // path, in any spelling, is a listed path.
  bool Lists(const std::tstring& path) const;
  // List line `index` names a file that an earlier line names with the same digest.
  bool Repeats(std::size_t index) const { return repeats_.contains(index); }
  // A "file%d.dl" name, numbered from n, that no listed path and nothing on disk uses.
  std::tstring TemporaryName(int n) const;

  // Readies the folders on the way to the job's target; throws when one is linked outside the
  // install or cannot be made.
  void Ready(const InstallJob& job);
  // The same for a way that may decline the file: false where Ready would throw, and for a target
  // that is no regular file.
  bool TryReady(const std::tstring& target);
  // Before the first file goes into a folder: removes the new files that dead runs left there,
  // and notes the folder and those above it, whose entries must be synced before completion.
  void PrepareFolderOf(const std::tstring& target);
  // The job's file stands in place, or waits in the batch.
  void Installed(const InstallJob& job);
  bool PackageReplaced() const { return package_replaced_; }

  // The checked new files not yet put in place.
  platform::ReplacementBatch& Batch() { return batch_; }
  void CommitIfFull();
  // Puts the batch in place and syncs every folder written, so that the new names survive a
  // power loss before the run says it has completed. Then, every listed file being in place, the
  // parts that cut runs left beside the listed files (ResumablePartName) are of no more use and
  // go; a listed file of such a name is the game's and stays.
  void Commit();
  // On the way out of a failed run: the files checked so far are put in place all the same, and a
  // failure to do so is not reported.
  void KeepChecked();

 private:
  void NoteListed(const FileList& list);
  void RemoveLeftovers();
  void RemoveLeftoverParts() const;

  // Each listed file's first line, by its name in lower case.
  std::unordered_map<std::string, std::size_t> listed_;
  std::unordered_set<std::size_t> repeats_;
  std::set<std::tstring> written_folders_;  // relative to the install folder; "" is the folder
  platform::ReplacementBatch batch_;
  bool package_replaced_ = false;
};
