#include "commands.h"

#include <memory>

#include "base/exception.h"
#include "base/relative_path.h"
#include "platform/path.h"
#include "progress.h"
#include "storage/folder_bounds.h"
#include "storage/image_files.h"
#include "storage/md5.h"
#include "storage/varne_file_manager.h"
#include "storage/varne_file_system.h"

namespace vpk {
namespace {

constexpr std::uint32_t kBlockSize = 256 * 1024;

std::tstring Internal(const std::string& path) { return platform::ToInternalPath(path); }

std::uint64_t TotalSize(VarneFileSystem& system) {
  std::uint64_t total = 0;
  for (const FileFindInfo* info = system.FindFirst(); info; info = system.FindNext()) {
    total += info->size;
  }
  return total;
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

int Pack(const std::string& folder, const std::string& package, bool plain) {
  // The package's directory keys its entries without regard to case and would keep one of two
  // such names; players on Windows could install neither.
  ListImageFiles(Internal(folder));
  VarneFileSystem system;
  system.LoadDirectory(Internal(folder), "");
  Progress progress("pack", TotalSize(system));
  system.SetWriteProgress([&](std::uint64_t done) { progress.Update(done); });
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

int Extract(const std::string& package, const std::string& folder,
            const std::vector<std::string>& names) {
  VarneFileManager manager;
  manager.ReadPackage(Internal(package).c_str());
  const std::vector<std::tstring> keys = CheckedKeys(manager.GetFileSystem(), names);
  std::tstring base = Internal(folder);
  base.AddBackslash();
  IFileManager::CreateDirectory(base);
  std::uint64_t total = 0;
  for (const std::tstring& key : keys) {
    FileInfoCellEx entry;
    if (manager.GetFileSystem().LookupEntry(key, &entry)) total += entry.sourceSize;
  }
  Progress progress("extract", total);
  std::uint64_t done = 0;
  for (const std::tstring& key : keys) {
    const FileHandle handle = manager.Open(key.c_str(), kOpenBinaryReadOnly);
    try {
      // A folder of the destination that is a link or junction to elsewhere is not written
      // through.
      if (LeavesFolderOnDisk(base, base + key)) {
        throw Exception("refusing entry \"" + key + "\": its folder leads outside the destination",
                        true);
      }
      IFileManager::CreateDirectory(base + key);
      done += manager.GetSize(handle);
      if (!manager.ExtractChecked(handle, base + key, StoredContent(manager, key))) {
        throw Exception("entry \"" + key + "\" does not match its stored MD5; not written", true);
      }
    } catch (...) {
      manager.Close(handle);
      throw;
    }
    manager.Close(handle);
    progress.Update(done);
  }
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

int Verify(const std::string& package, std::FILE* out) {
  VarneFileSystem system;
  system.ReadPackage(Internal(package));
  Progress progress("verify", TotalSize(system));
  std::uint64_t done = 0;
  int status = 0;
  for (const std::tstring& key : AllKeys(system)) {
    FileInfoCellEx stored;
    system.LookupEntry(key, &stored);
    MD5Context md5;
    OpenEntry entry(system, key);
    const bool complete = entry.Stream([&](const std::uint8_t* data, std::uint32_t size) {
      md5.Update(data, size);
      progress.Update(done += size);
    });
    const MD5Bytes digest = md5.Final();
    if (!complete || !std::equal(digest.begin(), digest.end(), stored.digest)) {
      std::fprintf(out, "%s\n", key.c_str());
      status = 1;
    }
  }
  return status;
}

}  // namespace vpk
