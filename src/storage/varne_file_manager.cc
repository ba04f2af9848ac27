#include "storage/varne_file_manager.h"

#include <cstdio>

#include "base/exception.h"

namespace {

constexpr std::uint32_t kSlotBits = 16;
constexpr std::uint32_t kSlotMask = 0xFFFF;
constexpr std::uint32_t kMaxSerial = 0xFFFF;
constexpr std::uint64_t kAllBits = ~std::uint64_t{0};

}  // namespace

VarneFileManager::~VarneFileManager() noexcept(false) {
  int forgotten = 0;
  {
    CriticalSectionLock hold(lock_);
    for (Slot& slot : slots_) {
      if (slot.file == nullptr) continue;
      file_system_.CloseFile(slot.file);
      slot.file = nullptr;
      ++forgotten;
    }
  }
  // The manager goes with the process's other services at exit, where a throw from here would
  // end the process through std::terminate: the warning is reported on standard error instead.
  if (forgotten > 0) {
    const VarneFileManagerException warning("ファイルポインタの開放忘れがあります。", false);
    std::fprintf(stderr, "%s\n", warning.GetText().c_str());
  }
}

IFile* VarneFileManager::Find(FileHandle handle) {
  const std::uint32_t index = handle & kSlotMask;
  const std::uint32_t serial = handle >> kSlotBits;
  if (handle == 0 || index >= slots_.size() || slots_[index].serial != serial) return nullptr;
  return slots_[index].file;
}

FileHandle VarneFileManager::Store(IFile* file) {
  std::uint32_t index = 0;
  if (!free_slots_.empty()) {
    index = free_slots_.back();
    free_slots_.pop_back();
  } else if (slots_.size() <= kSlotMask) {
    index = static_cast<std::uint32_t>(slots_.size());
    slots_.emplace_back();
  } else {
    file_system_.CloseFile(file);  // every slot is taken
    return 0;
  }
  last_serial_ = last_serial_ >= kMaxSerial ? 1 : last_serial_ + 1;
  slots_[index] = Slot{file, 1, last_serial_};
  return last_serial_ << kSlotBits | index;
}

std::tstring VarneFileManager::FindFirst() {
  const FileFindInfo* info = file_system_.FindFirst();
  return info ? info->name : std::tstring();
}

std::tstring VarneFileManager::FindNext() {
  const FileFindInfo* info = file_system_.FindNext();
  return info ? info->name : std::tstring();
}

IFile* VarneFileManager::GetFile(FileHandle handle) {
  CriticalSectionLock hold(lock_);
  return Find(handle);
}

FileHandle VarneFileManager::Open(const char* name, int /*mode*/) {
  CriticalSectionLock hold(lock_);
  IFile* file = file_system_.OpenFile(name);
  return file == nullptr ? 0 : Store(file);
}

int VarneFileManager::Close(FileHandle handle) {
  CriticalSectionLock hold(lock_);
  IFile* file = Find(handle);
  if (file == nullptr) return 1;
  Slot& slot = slots_[handle & kSlotMask];
  file_system_.CloseFile(file);
  slot.file = nullptr;
  if (--slot.uses == 0) {
    slot.serial = 0;
    free_slots_.push_back(static_cast<std::uint16_t>(handle & kSlotMask));
  }
  return 0;
}

std::tstring VarneFileManager::GetFileName(FileHandle handle) {
  CriticalSectionLock hold(lock_);
  IFile* file = Find(handle);
  return file ? file->GetName() : std::tstring();
}

bool VarneFileManager::IsOpen(FileHandle handle) {
  if (handle == 0) return false;
  CriticalSectionLock hold(lock_);
  IFile* file = Find(handle);
  return file ? file->IsOpen() : false;
}

bool VarneFileManager::IsEof(FileHandle handle) {
  CriticalSectionLock hold(lock_);
  IFile* file = Find(handle);
  return file ? file->IsEof() : false;
}

std::uint64_t VarneFileManager::GetSize(FileHandle handle) {
  CriticalSectionLock hold(lock_);
  IFile* file = Find(handle);
  return file ? file->GetSize() : kAllBits;
}

ResultCode VarneFileManager::Read(FileHandle handle, void* buffer, std::uint32_t count,
                                  std::uint32_t* read) {
  CriticalSectionLock hold(lock_);
  IFile* file = Find(handle);
  return file ? file->Read(buffer, count, read) : E_FAIL;
}

ResultCode VarneFileManager::Write(FileHandle handle, const void* buffer, std::uint32_t count) {
  CriticalSectionLock hold(lock_);
  IFile* file = Find(handle);
  return file ? file->Write(buffer, count) : E_FAIL;
}

ResultCode VarneFileManager::LockAll(FileHandle handle, void** block) {
  CriticalSectionLock hold(lock_);
  return Lock(handle, static_cast<std::uint32_t>(GetSize(handle)), block);
}

ResultCode VarneFileManager::Lock(FileHandle handle, std::uint32_t count, void** block) {
  CriticalSectionLock hold(lock_);
  IFile* file = Find(handle);
  return file ? file->Lock(count, block) : E_FAIL;
}

ResultCode VarneFileManager::Unlock(FileHandle handle) {
  CriticalSectionLock hold(lock_);
  IFile* file = Find(handle);
  return file ? file->Unlock() : E_FAIL;
}

ResultCode VarneFileManager::Seek(FileHandle handle, std::int32_t offset, int origin) {
  CriticalSectionLock hold(lock_);
  if (origin < 0 || origin > 2) throw VarneFileManagerException("invalid SEEK_ORG", true);
  IFile* file = Find(handle);
  return file ? file->Seek(offset, origin) : E_FAIL;
}

std::uint64_t VarneFileManager::Tell(FileHandle handle) {
  CriticalSectionLock hold(lock_);
  IFile* file = Find(handle);
  return file ? file->Tell() : kAllBits;
}

void VarneFileManager::ClearFileList() { file_system_.Clear(); }

void VarneFileManager::ReadPackage(const char* path) { file_system_.ReadPackage(path); }

int VarneFileManager::LoadDirectory(const char* folder) {
  return file_system_.LoadDirectory(folder, std::tstring());
}

int VarneFileManager::AddFile(const std::tstring& path, const std::tstring& base) {
  return file_system_.AddFile(path, base);
}

int VarneFileManager::RemoveFile(const std::tstring& name) { return file_system_.RemoveFile(name); }

void VarneFileManager::WritePackage(const std::tstring& path, std::uint32_t scramble) {
  file_system_.WritePackage(path, scramble);
}
