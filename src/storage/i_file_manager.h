// Opening the program's files by name, wherever they are stored, and addressing them by handle.
// VarneFileManager is the one implementation; it is reached through Singleton<IFileManager>.
#pragma once

#include <cstdint>
#include <optional>

#include "base/singleton.h"
#include "base/tstring.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "storage/i_file.h"
#include "storage/md5.h"

// Low 16 bits: a slot of the handle table; high 16 bits: the slot's serial (1 to 65535). 0 is no
// file. Operations given an unknown handle return a neutral value and raise nothing.
using FileHandle = std::uint32_t;

// What extracted bytes must be before they may replace a file.
struct ExpectedContent {
  std::optional<std::uint64_t> size;  // not checked when absent
  MD5Bytes md5;
  std::optional<platform::Sha256Digest> sha256;  // what a publisher signed; not checked when absent
};

class IFileManager : public Singleton<IFileManager> {
 public:
  ~IFileManager() noexcept(false) override = default;

  // Names of the directory's entries in key order; empty at the end.
  virtual std::tstring FindFirst() = 0;
  virtual std::tstring FindNext() = 0;
  virtual IFile* GetFile(FileHandle handle) = 0;
  // 0 when no file could be opened.
  virtual FileHandle Open(const char* name, int mode) = 0;
  // 0, or 1 for an unknown handle.
  virtual int Close(FileHandle handle) = 0;
  virtual std::tstring GetFileName(FileHandle handle) = 0;
  virtual bool IsOpen(FileHandle handle) = 0;
  virtual bool IsEof(FileHandle handle) = 0;
  virtual std::uint64_t GetSize(FileHandle handle) = 0;
  virtual ResultCode Read(FileHandle handle, void* buffer, std::uint32_t count,
                          std::uint32_t* read) = 0;
  virtual ResultCode Write(FileHandle handle, const void* buffer, std::uint32_t count) = 0;
  virtual ResultCode LockAll(FileHandle handle, void** block) = 0;
  virtual ResultCode Lock(FileHandle handle, std::uint32_t count, void** block) = 0;
  virtual ResultCode Unlock(FileHandle handle) = 0;
  virtual ResultCode Seek(FileHandle handle, std::int32_t offset, int origin) = 0;
  virtual std::uint64_t Tell(FileHandle handle) = 0;

  // Copies GetSize bytes from the file's current position into destination, whose folder
  // must exist. The bytes go to a new file in that folder first, which then replaces destination
  // in one step: a failure (full disk, unreadable entry) leaves the old destination as it was.
  // Failures are IFileManagerExceptions.
  virtual void ExtractToFile(FileHandle handle, const std::tstring& destination);
  // As ExtractToFile, but the new file replaces destination only when its bytes are the expected
  // ones (digested as they are written). false when they are not: destination stays as it was and
  // nothing is left behind. With a batch, the checked new file joins it instead of replacing
  // destination at once: the batch's Commit puts it in place.
  bool ExtractChecked(FileHandle handle, const std::tstring& destination,
                      const ExpectedContent& expected, platform::ReplacementBatch* batch = nullptr);

  // Puts a batch of checked new files in place (platform::ReplacementBatch::Commit); throws
  // "File replace error. : <destination>" when it cannot.
  static void CommitBatch(platform::ReplacementBatch& batch);

  // Creates every missing folder on the way to the folder that holds path (a path ending in a
  // backslash names that folder itself). A path without a backslash creates nothing.
  static int CreateDirectory(const std::tstring& path);
  // folder must end in a backslash; true when it is an existing folder.
  static bool PathIsExist(const std::tstring& folder);

 private:
  bool Extract(FileHandle handle, const std::tstring& destination, const ExpectedContent* expected,
               platform::ReplacementBatch* batch);
};
