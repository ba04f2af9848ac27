// The directory of named entries that the program's files are found in. An entry lives either in a
// package file or as a plain file below a disk folder; both are opened as a VarneFile. Every public
// operation holds the object's lock for its whole run, so both threads may share one object.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "base/critical_section.h"
#include "base/tstring.h"
#include "storage/i_file.h"
#include "storage/mersenne_twister.h"
#include "storage/package_format.h"

class ByteStream;

// A directory entry: its record plus where it lives.
struct FileInfoCellEx : WPACKAGE_INFO_CELL {
  virtual ~FileInfoCellEx() = default;

  bool inPackage = true;
  // The package's path for a package entry; the base folder, with a trailing backslash, for a
  // disk entry (whose file is containerPath followed by the key).
  std::tstring containerPath;
  // The bytes of a package read from memory; null for a package file and for a disk entry.
  std::shared_ptr<const std::string> packageBytes;
};

// What enumeration hands out; one record owned by the file system, overwritten by every call.
struct FileFindInfo {
  bool inPackage = false;
  std::tstring containerPath;
  std::tstring name;
  std::uint64_t size = 0;
};

class VarneFileSystem {
 public:
  VarneFileSystem();
  // The VarneFiles opened from this object must have been closed before.
  virtual ~VarneFileSystem() noexcept(false) = default;
  VarneFileSystem(const VarneFileSystem&) = delete;
  VarneFileSystem& operator=(const VarneFileSystem&) = delete;

  // The key of a name: "/" becomes "\" and the text is lower-cased; nothing else changes.
  static std::tstring NormalizeName(const std::tstring& name);
  // The key of a name as a package stores it: UTF-16LE (unscrambled), up to a zero unit.
  static std::tstring StoredName(const std::uint8_t* bytes, std::size_t length);

  // Merges a package's directory in: an existing key is overwritten, so the package read last
  // wins. Entries merged before a failure stay.
  void ReadPackage(const std::tstring& path);
  // The same for a package held in memory; path only names it (in messages and containerPath).
  void ReadPackage(const std::tstring& path, std::shared_ptr<const std::string> bytes);
  // A new, open VarneFile for the entry; the caller hands it back to CloseFile.
  IFile* OpenFile(const std::tstring& name);
  int CloseFile(IFile* file);

  // Enumeration in key order; null at the end. The record is overwritten by the next call.
  const FileFindInfo* FindFirst();
  const FileFindInfo* FindNext();
  void Clear();

  // Adds every file below folder, keyed by its path relative to base (folder when empty).
  int LoadDirectory(const std::tstring& folder, const std::tstring& base);
  int AddFile(const std::tstring& path, const std::tstring& base);
  // An absent name is no error.
  int RemoveFile(const std::tstring& name);
  // Writes every entry, in key order, to a new package; names and data are scrambled when
  // scramble is 1. Refuses an existing file; removes its own partial file when it fails.
  void WritePackage(const std::tstring& path, std::uint32_t scramble);

  // Called by WritePackage with the count of data bytes written so far, after each block.
  void SetWriteProgress(std::function<void(std::uint64_t)> progress) {
    write_progress_ = std::move(progress);
  }

  // Copies the entry of a name (normalised here) under the lock; false when there is none.
  bool LookupEntry(const std::tstring& name, FileInfoCellEx* entry);
  ICriticalSection& GetLock() { return lock_; }

 private:
  using Directory = std::map<std::tstring, FileInfoCellEx>;

  void Merge(const std::tstring& package_path, ByteStream& stream,
             const std::shared_ptr<const std::string>& bytes);
  const FileFindInfo* Report(Directory::const_iterator it);

  CriticalSection lock_;
  Directory directory_;
  // Draws the header seeds of written packages.
  MersenneTwister generator_;
  // The key under the enumeration cursor; empty once it has passed the end.
  std::optional<std::tstring> cursor_;
  FileFindInfo find_info_;
  std::function<void(std::uint64_t)> write_progress_;
};
