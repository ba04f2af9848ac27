// The system's file interface: disk files (DefaultFile) and package entries (VarneFile) are used
// through it alike. Operations that can fail quietly return a ResultCode (negative is failure);
// misuse and open failures raise the implementation's exception.
#pragma once

#include <cstdint>

#include "base/result.h"
#include "base/tstring.h"

// Open modes are the flags of the C runtime's low-level open call. The low two bits select the
// access; truncate and exclusive count only together with create.
inline constexpr int kOpenReadOnly = 0x0000;
inline constexpr int kOpenWriteOnly = 0x0001;
inline constexpr int kOpenReadWrite = 0x0002;
inline constexpr int kOpenAccessMask = 0x0003;
inline constexpr int kOpenCreate = 0x0100;     // create the file when it is absent
inline constexpr int kOpenTruncate = 0x0200;   // empty a file that is there
inline constexpr int kOpenExclusive = 0x0400;  // fail when the file is there
// No text translation of line ends. Every caller asks for it; DefaultFile never translates.
inline constexpr int kOpenBinary = 0x8000;

// What readers pass: disk files, package entries and settings are all read so.
inline constexpr int kOpenBinaryReadOnly = kOpenBinary | kOpenReadOnly;
// A file made new for writing: never written through a file or link already at its name.
inline constexpr int kOpenBinaryNewWriteOnly =
    kOpenBinary | kOpenWriteOnly | kOpenCreate | kOpenExclusive;

class IFile {
 public:
  // noexcept(false): implementations hold a CriticalSection, whose destructor may throw.
  virtual ~IFile() noexcept(false) = default;

  virtual int Open(const char* path, int mode) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() { return false; }
  virtual bool IsEof() = 0;
  virtual std::uint64_t GetSize() { return 0; }
  // Reads up to count bytes at the current position; the count read goes to *read when not null.
  virtual ResultCode Read(void* buffer, std::uint32_t count, std::uint32_t* read) = 0;
  virtual ResultCode Write(const void* buffer, std::uint32_t count) = 0;
  // Reads count bytes from the current position into a block that the file owns until Unlock.
  virtual ResultCode Lock(std::uint32_t count, void** block) = 0;
  virtual ResultCode Unlock() = 0;
  virtual bool IsLocked() = 0;
  // origin: 0 from the start, 1 from the current position, 2 from the end.
  virtual ResultCode Seek(std::int64_t offset, int origin) = 0;
  virtual std::uint64_t Tell() = 0;

  // The path or entry name the file was opened with.
  const std::tstring& GetName() const { return name_; }

 protected:
  std::tstring name_;
};
