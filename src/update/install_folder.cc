#include "update/install_folder.h"

#include <string_view>
#include <vector>

#include "base/ascii.h"
#include "base/exception.h"
#include "site/install_names.h"
#include "storage/folder_bounds.h"
#include "storage/i_file_manager.h"
#include "storage/one_entry_package.h"
#include "update/block_update.h"

namespace {

constexpr char kTemporaryPackageFormat[] = "file%d.dl";

// A path as the listed names are kept: one spelling per file on a system that ignores case.
std::tstring FoldedName(std::tstring path) {
  path.ToBackslashes();
  path.ToLower();
  return path;
}

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

}  // namespace

void InstallFolder::Prepare(const FileList& list) {
  NoteListed(list);
  RemoveLeftovers();
}

void InstallFolder::NoteListed(const FileList& list) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    const auto [earlier, added] = listed_.try_emplace(FoldedName(std::string(list.PathAt(i))), i);
    if (added) continue;
    const FileEntry entry = list[i];
    // A line repeated, or a file named again in other letter case, asks for the same bytes: the
    // first line installs them and the others find them current. With other bytes the two lines
    // would replace each other on every run.
    const FileEntry other = list[earlier->second];
    if (ascii::Lowered(other.md5) != ascii::Lowered(entry.md5)) {
      throw DownloadManagerException("List file error(one file listed with two digests) : " +
                                         other.Listed() + ", " + entry.Listed(),
                                     true);
    }
    repeats_.insert(i);
  }
}

void InstallFolder::RemoveLeftovers() {
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

bool InstallFolder::Lists(const std::tstring& path) const {
  return listed_.contains(FoldedName(path));
}

std::tstring InstallFolder::TemporaryName(int n) const {
  // Listed files win a clash of names, as does anything already on disk.
  for (;; ++n) {
    std::tstring name = std::tstring::FormatNew(kTemporaryPackageFormat, n);
    if (!listed_.contains(name) && !platform::PathExists(name)) return name;
  }
}

void InstallFolder::Ready(const InstallJob& job) {
  // A folder of the install that is a link or junction to elsewhere is never written through.
  if (LeavesFolderOnDisk("", job.target)) {
    throw DownloadManagerException("Listed path leaves the install folder : " + job.entry.path,
                                   true);
  }
  IFileManager::CreateDirectory(job.target);
  PrepareFolderOf(job.target);
}

bool InstallFolder::TryReady(const std::tstring& target) {
  if (platform::IsSpecialFile(target) || LeavesFolderOnDisk("", target)) return false;
  try {
    IFileManager::CreateDirectory(target);
  } catch (const Exception&) {
    return false;
  }
  PrepareFolderOf(target);
  return true;
}

void InstallFolder::PrepareFolderOf(const std::tstring& target) {
  std::tstring folder(target);
  folder.ToBackslashes();
  do {
    folder.RemoveFileSpec();
    // The folders above a noted one were noted with it.
    if (!written_folders_.insert(folder).second) return;
    platform::RemoveAbandonedReplacements(folder);
  } while (!folder.empty());
}

void InstallFolder::Installed(const InstallJob& job) {
  std::tstring name = job.entry.path;
  name.ToUpper();
  if (name == kGamePackageName) package_replaced_ = true;
  // A part of this file that the block path held is of no use once the file is in place; a file
  // of that name that it did not hold is the game's.
  if (job.drop_part) platform::RemoveFile(block_update::PartPathOf(job.target));
}

void InstallFolder::CommitIfFull() {
  if (batch_.Full()) IFileManager::CommitBatch(batch_);
}

void InstallFolder::Commit() {
  IFileManager::CommitBatch(batch_);
  for (const std::tstring& folder : written_folders_) platform::SyncFolder(folder);
  RemoveLeftoverParts();
}

// A part whose file is current, or no longer listed, waits for nothing: a run that completes
// leaves none. Only the folders of listed files are looked at, and none that leads out of the
// install.
void InstallFolder::RemoveLeftoverParts() const {
  // Views of the listed names, which outlive them: a copy of each name would cost more than the
  // listing of its folder.
  std::set<std::string_view> folders;
  for (const auto& [name, line] : listed_) {
    const std::size_t slash = name.rfind('\\');
    folders.insert(std::string_view(name).substr(0, slash == std::string::npos ? 0 : slash));
  }
  for (const std::string_view name : folders) {
    const std::tstring folder{std::string(name)};
    const std::tstring prefix = folder.empty() ? std::tstring() : folder + "\\";
    std::vector<platform::DirectoryItem> items;
    if (LeavesFolderOnDisk("", prefix + "x") ||
        !platform::ListDirectory(folder.empty() ? "." : folder, &items)) {
      continue;
    }
    for (const platform::DirectoryItem& item : items) {
      const std::tstring path = prefix + item.name;
      if (!item.is_directory && platform::IsResumablePartName(item.name) && !Lists(path)) {
        platform::RemoveFile(path);
      }
    }
  }
}

void InstallFolder::KeepChecked() {
  std::string failed;
  batch_.Commit(failed);
}
