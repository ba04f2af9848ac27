#include "commands.h"

#include <algorithm>
#include <future>
#include <iostream>
#include <memory>
#include <system_error>

#include "base/exception.h"
#include "base/relative_path.h"
#include "platform/path.h"
#include "storage/folder_bounds.h"
#include "storage/image_files.h"
#include "storage/md5.h"
#include "storage/opened_file.h"
#include "storage/varne_file_manager.h"
#include "storage/varne_file_system.h"

namespace vpk {
namespace {

constexpr std::uint32_t kBlockSize = 256 * 1024;

std::tstring Internal(const std::string& path) { return platform::ToInternalPath(path); }

// Where each entry's data ends among all entries' data, in key order: the order a package is
// written and verified in.
std::vector<std::uint64_t> DataEnds(VarneFileSystem& system) {
  std::vector<std::uint64_t> ends;
  for (const FileFindInfo* info = system.FindFirst(); info; info = system.FindNext()) {
    ends.push_back((ends.empty() ? 0 : ends.back()) + info->size);
  }
  return ends;
}

// The figures once `done` bytes of the entries' data have been handled in key order.
ProgressFigures FiguresAt(const std::vector<std::uint64_t>& ends, std::uint64_t done) {
  const auto files = std::upper_bound(ends.begin(), ends.end(), done) - ends.begin();
  return {static_cast<std::uint64_t>(files), ends.size(), done, ends.empty() ? 0 : ends.back()};
}

std::vector<std::tstring> AllKeys(VarneFileSystem& system) {
  std::vector<std::tstring> keys;
  for (const FileFindInfo* info = system.FindFirst(); info; info = system.FindNext()) {
    keys.push_back(info->name);
  }
  return keys;
}

// An entry opened through its file system, closed on every way out.
class OpenEntry {
 public:
  OpenEntry(VarneFileSystem& system, const std::tstring& name)
      : system_(system), file_(system.OpenFile(name)) {}
  ~OpenEntry() noexcept(false) { system_.CloseFile(file_); }
  OpenEntry(const OpenEntry&) = delete;
  OpenEntry& operator=(const OpenEntry&) = delete;

  // Hands the entry's bytes to sink block by block; false if the entry ends early.
  template <typename Sink>
  bool Stream(Sink&& sink) {
    auto buffer = std::make_unique<std::uint8_t[]>(kBlockSize);
    for (std::uint64_t left = file_->GetSize(); left > 0;) {
      std::uint32_t got = 0;
      const auto want = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, kBlockSize));
      if (file_->Read(buffer.get(), want, &got) < 0 || got == 0) return false;
      sink(buffer.get(), got);
      left -= got;
    }
    return true;
  }

 private:
  VarneFileSystem& system_;
  IFile* file_;
};

// Makes sure every name may be written below the destination before anything is written.
std::vector<std::tstring> CheckedKeys(VarneFileSystem& system,
                                      const std::vector<std::string>& names) {
  std::vector<std::tstring> keys;
  if (names.empty()) keys = AllKeys(system);
  for (const std::string& name : names) keys.push_back(VarneFileSystem::NormalizeName(name));
  for (const std::tstring& key : keys) {
    if (!IsSafeRelativePath(key)) {
      throw Exception("refusing entry \"" + key + "\": its name would leave the destination folder",
                      true);
    }
  }
  return keys;
}

// The size and digest that the package's directory records for an entry.
ExpectedContent StoredContent(VarneFileManager& manager, const std::tstring& key) {
  FileInfoCellEx entry;
  manager.GetFileSystem().LookupEntry(key, &entry);
  ExpectedContent expected{entry.sourceSize, {}, {}};
  std::copy(std::begin(entry.digest), std::end(entry.digest), expected.md5.begin());
  return expected;
}

}  // namespace

int Pack(const std::string& folder, const std::string& package, bool plain, bool follow_links,
         ProgressOutput progress) {
  // The package's directory keys its entries without regard to case and would keep one of two
  // such names; players on Windows could install neither.
  ListImageFiles(Internal(folder), follow_links);
  VarneFileSystem system;
  system.LoadDirectory(Internal(folder), "");
  const std::vector<std::uint64_t> ends = DataEnds(system);
  ProgressLine line(std::cerr, progress);
  system.SetWriteProgress([&](std::uint64_t done) { line.Update(FiguresAt(ends, done)); });
  system.WritePackage(Internal(package), plain ? 0 : 1);
  return 0;
}

int List(const std::string& package, std::FILE* out) {
  VarneFileSystem system;
  system.ReadPackage(Internal(package));
  for (const std::tstring& key : AllKeys(system)) {
    FileInfoCellEx entry;
    system.LookupEntry(key, &entry);
    MD5Bytes digest;
    std::copy(std::begin(entry.digest), std::end(entry.digest), digest.begin());
    std::fprintf(out, "%s\t%llu\t%s\t%s\n", key.c_str(),
                 static_cast<unsigned long long>(entry.sourceSize),
                 entry.IsScrambled() ? "scrambled" : "plain", MD5Context::ToText(digest).c_str());
  }
  return 0;
}

// Writes the entry key below base into batch; its size. Throws when the entry is refused or does
// not match its stored MD5.
std::uint64_t ExtractEntry(VarneFileManager& manager, const std::tstring& base,
                           const std::tstring& key, platform::ReplacementBatch& batch) {
  const OpenedFile file(manager, key.c_str(), kOpenBinaryReadOnly);
  // A folder of the destination that is a link or junction to elsewhere is not written through.
  if (LeavesFolderOnDisk(base, base + key)) {
    throw Exception("refusing entry \"" + key + "\": its folder leads outside the destination",
                    true);
  }
  IFileManager::CreateDirectory(base + key);
  const std::uint64_t size = manager.GetSize(file.handle());
  if (!manager.ExtractChecked(file.handle(), base + key, StoredContent(manager, key), &batch)) {
    throw Exception("entry \"" + key + "\" does not match its stored MD5; not written", true);
  }
  return size;
}

// Makes batches durable and puts them in place on a thread of its own, one batch at a time and in
// order, while the extraction goes on: the disk writes a large file out while the small files
// after it are extracted, as tar's writes and the sync after them overlap.
class BatchCommits {
 public:
  BatchCommits() = default;
  // On the way out of a failure: the batch in flight still completes, and its failure is not
  // reported over the first.
  ~BatchCommits() {
    try {
      Finish();
    } catch (...) {
    }
  }
  BatchCommits(const BatchCommits&) = delete;
  BatchCommits& operator=(const BatchCommits&) = delete;

  // Waits for the batch before (throwing its failure, when batch stays the caller's), then takes
  // batch and starts committing it.
  void Start(std::unique_ptr<platform::ReplacementBatch>& batch) {
    Finish();
    const std::shared_ptr<platform::ReplacementBatch> taken = std::move(batch);
    try {
      pending_ = std::async(std::launch::async, [taken] { IFileManager::CommitBatch(*taken); });
    } catch (const std::system_error&) {
      // No thread to spare: the batch is committed here, as it would be without one.
      IFileManager::CommitBatch(*taken);
    }
  }
  // Waits for the batch in flight; throws its failure.
  void Finish() {
    if (pending_.valid()) pending_.get();
  }

 private:
  std::future<void> pending_;
};

int Extract(const std::string& package, const std::string& folder,
            const std::vector<std::string>& names, ProgressOutput progress) {
  VarneFileManager manager;
  manager.ReadPackage(Internal(package).c_str());
  const std::vector<std::tstring> keys = CheckedKeys(manager.GetFileSystem(), names);
  std::tstring base = Internal(folder);
  base.AddBackslash();
  IFileManager::CreateDirectory(base);
  ProgressFigures figures{0, keys.size(), 0, 0};
  for (const std::tstring& key : keys) {
    FileInfoCellEx entry;
    if (manager.GetFileSystem().LookupEntry(key, &entry)) figures.bytes_total += entry.sourceSize;
  }
  ProgressLine line(std::cerr, progress);
  // The files are made durable a batch at a time rather than one by one.
  auto batch = std::make_unique<platform::ReplacementBatch>();
  BatchCommits commits;
  try {
    for (const std::tstring& key : keys) {
      line.Update(figures, key);
      figures.bytes_done += ExtractEntry(manager, base, key, *batch);
      ++figures.files_done;
      if (batch->Full()) {
        commits.Start(batch);
        batch = std::make_unique<platform::ReplacementBatch>();
      }
    }
  } catch (...) {
    // The entries checked before the failure are kept, as they would be one by one, after those
    // before them.
    try {
      commits.Finish();
    } catch (...) {
    }
    std::string failed;
    batch->Commit(failed);
    throw;
  }
  commits.Start(batch);
  commits.Finish();
  line.Update(figures);
  return 0;
}

int Cat(const std::string& package, const std::string& name, std::FILE* out) {
  VarneFileSystem system;
  system.ReadPackage(Internal(package));
  OpenEntry entry(system, name);
  bool written = true;
  const bool complete = entry.Stream([&](const std::uint8_t* data, std::uint32_t size) {
    written = written && std::fwrite(data, 1, size, out) == size;
  });
  if (!complete) throw Exception("entry \"" + name + "\" ends before its size", true);
  if (!written || std::fflush(out) != 0) throw Exception("cannot write to standard output", true);
  return 0;
}

int Verify(const std::string& package, std::FILE* out, ProgressOutput progress) {
  VarneFileSystem system;
  system.ReadPackage(Internal(package));
  const std::vector<std::uint64_t> ends = DataEnds(system);
  ProgressLine line(std::cerr, progress);
  std::uint64_t done = 0;
  int status = 0;
  for (const std::tstring& key : AllKeys(system)) {
    FileInfoCellEx stored;
    system.LookupEntry(key, &stored);
    MD5Context md5;
    OpenEntry entry(system, key);
    const bool complete = entry.Stream([&](const std::uint8_t* data, std::uint32_t size) {
      md5.Update(data, size);
      line.Update(FiguresAt(ends, done += size), key);
    });
    const MD5Bytes digest = md5.Final();
    if (!complete || !std::equal(digest.begin(), digest.end(), stored.digest)) {
      line.End();  // the name on a line of its own, not after the progress line
      std::fprintf(out, "%s\n", key.c_str());
      status = 1;
    }
  }
  return status;
}

}  // namespace vpk
