// IFile over one directory entry of a VarneFileSystem: a package entry reads its data region of the
// package (unscrambled on the fly), a disk entry its disk file. Read-only. Created and destroyed by
// VarneFileSystem::OpenFile/CloseFile; keeps its own copy of the entry, so later changes to the
// directory do not affect it. Every operation holds the file's own lock; Open also takes the
// owner's lock while it reads the directory (file lock first).
#pragma once

#include <cstdint>
#include <memory>

#include "base/critical_section.h"
#include "storage/byte_stream.h"
#include "storage/i_file.h"
#include "storage/package_format.h"
#include "storage/varne_file_system.h"

class VarneFile : public IFile {
 public:
  // A null owner throws a VarneFileException.
  explicit VarneFile(VarneFileSystem* owner);
  ~VarneFile() noexcept(false) override;
  VarneFile(const VarneFile&) = delete;
  VarneFile& operator=(const VarneFile&) = delete;

  // The mode is not looked at: entries are always read-only.
  int Open(const char* name, int mode) override;
  void Close() override;
  bool IsOpen() override;
  bool IsEof() override;
  std::uint64_t GetSize() override;
  // Reads at most up to the entry's end; returns E_FAIL when closed or when the system's read
  // fails.
  ResultCode Read(void* buffer, std::uint32_t count, std::uint32_t* read) override;
  ResultCode Write(const void* buffer, std::uint32_t count) override;
  ResultCode Lock(std::uint32_t count, void** block) override;
  ResultCode Unlock() override;
  bool IsLocked() override;
  ResultCode Seek(std::int64_t offset, int origin) override;
  std::uint64_t Tell() override;

 private:
  // The entry's size: a package entry's recorded size, a disk file's current length.
  std::uint64_t Size();

  CriticalSection lock_;
  VarneFileSystem* owner_;
  // The package, or the disk file of a disk entry; null while closed.
  std::unique_ptr<ByteStream> stream_;
  FileInfoCellEx entry_;
  // Position in the entry's data.
  std::uint64_t position_ = 0;
  KeyStream keystream_;
  std::unique_ptr<std::uint8_t[]> block_;
  std::uint32_t lock_size_ = 0;
};
