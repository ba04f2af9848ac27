// The program's one file manager: owns the VarneFileSystem and every file opened through it, and
// hands those files out by FileHandle. Both the user-interface thread and the update worker use it;
// the manager's lock guards the handle table (lock order: manager, file system, entry file).
#pragma once

#include <cstdint>
#include <vector>

#include "base/critical_section.h"
#include "storage/i_file_manager.h"
#include "storage/varne_file_system.h"

class VarneFileManager : public IFileManager, public Singleton<VarneFileManager> {
 public:
  VarneFileManager() = default;
  // Files still open are closed, and then reported on standard error with the text of a
  // VarneFileManagerException warning; nothing is thrown.
  ~VarneFileManager() noexcept(false) override;
  VarneFileManager(const VarneFileManager&) = delete;
  VarneFileManager& operator=(const VarneFileManager&) = delete;

  std::tstring FindFirst() override;
  std::tstring FindNext() override;
  IFile* GetFile(FileHandle handle) override;
  // The mode is not used: entries are always opened read-only.
  FileHandle Open(const char* name, int mode) override;
  int Close(FileHandle handle) override;
  std::tstring GetFileName(FileHandle handle) override;
  bool IsOpen(FileHandle handle) override;
  bool IsEof(FileHandle handle) override;
  std::uint64_t GetSize(FileHandle handle) override;
  ResultCode Read(FileHandle handle, void* buffer, std::uint32_t count,
                  std::uint32_t* read) override;
  ResultCode Write(FileHandle handle, const void* buffer, std::uint32_t count) override;
  ResultCode LockAll(FileHandle handle, void** block) override;
  ResultCode Lock(FileHandle handle, std::uint32_t count, void** block) override;
  ResultCode Unlock(FileHandle handle) override;
  // An origin other than 0, 1 or 2 raises "invalid SEEK_ORG".
  ResultCode Seek(FileHandle handle, std::int32_t offset, int origin) override;
  std::uint64_t Tell(FileHandle handle) override;

  void ClearFileList();
  void ReadPackage(const char* path);
  // The folder itself is the base of the keys.
  int LoadDirectory(const char* folder);
  int AddFile(const std::tstring& path, const std::tstring& base);
  int RemoveFile(const std::tstring& name);
  void WritePackage(const std::tstring& path, std::uint32_t scramble);

  VarneFileSystem& GetFileSystem() { return file_system_; }

 private:
  struct Slot {
    IFile* file = nullptr;
    int uses = 0;
    std::uint32_t serial = 0;  // 0 while the slot is free
  };

  // The file behind a handle, or null for an unknown handle. Call with lock_ held.
  IFile* Find(FileHandle handle);
  FileHandle Store(IFile* file);

  CriticalSection lock_;
  VarneFileSystem file_system_;
  std::vector<Slot> slots_;
  std::vector<std::uint16_t> free_slots_;  // the most recently freed last
  // The program has one manager, so this is the process's serial counter.
  std::uint32_t last_serial_ = 0;
};
