// IFile over a plain disk file. Other processes may read the file while it is open but not write
// it. Owned by one thread at a time; a local DefaultFile releases everything when it goes.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/file.h"
#include "storage/i_file.h"

class DefaultFile : public IFile {
 public:
  DefaultFile() = default;
  ~DefaultFile() noexcept(false) override;
  DefaultFile(const DefaultFile&) = delete;
  DefaultFile& operator=(const DefaultFile&) = delete;

  // mode: the access bits (kOpenAccessMask) plus the creation flags kOpenCreate, kOpenTruncate and
  // kOpenExclusive of i_file.h. Open failures are IFileException warnings whose second line is the
  // path.
  int Open(const char* path, int mode) override;
  void Close() override;
  bool IsOpen() override { return file_.IsOpen(); }
  bool IsEof() override;
  // The length measured at Open; all bits set when closed.
  std::uint64_t GetSize() override;
  ResultCode Read(void* buffer, std::uint32_t count, std::uint32_t* read) override;
  ResultCode Write(const void* buffer, std::uint32_t count) override;
  // Failures are DefaultFileExceptions; the block stays locked after a short read.
  ResultCode Lock(std::uint32_t count, void** block) override;
  ResultCode Unlock() override;
  bool IsLocked() override { return block_ != nullptr; }
  ResultCode Seek(std::int64_t offset, int origin) override;
  std::uint64_t Tell() override;

 private:
  bool writable_ = false;
  platform::File file_;
  // 64 bits wide, so that files of 2 GiB and more report their true size.
  std::int64_t size_ = -1;
  std::unique_ptr<std::uint8_t[]> block_;
  std::int64_t lock_size_ = -1;
};
