#include "storage/varne_file.h"

#include <algorithm>
#include <memory>

#include "base/exception.h"
#include "res/historical_messages.h"

namespace {

[[noreturn]] void Fail(const std::tstring& text) { throw VarneFileException(text, true); }

[[noreturn]] void OutOfFile() { Fail("Seek() out of file."); }

}  // namespace

VarneFile::VarneFile(VarneFileSystem* owner) : owner_(owner) {
  if (owner_ == nullptr) Fail(kFileSystemPointerError);
}

VarneFile::~VarneFile() noexcept(false) { Close(); }

int VarneFile::Open(const char* name, int /*mode*/) {
  CriticalSectionLock hold(lock_);
  if (owner_ == nullptr) Fail(kFileSystemPointerError);
  CriticalSectionLock hold_owner(owner_->GetLock());
  Close();
  const std::tstring given(name);
  if (!owner_->LookupEntry(given, &entry_)) {
    Fail(std::tstring::FormatNew("File not exist : %s",
                                 VarneFileSystem::NormalizeName(given).c_str()));
  }
  if (entry_.packageBytes) {
    stream_ = std::make_unique<MemoryStream>(entry_.packageBytes);
  } else {
    auto file = std::make_unique<FileStream>();
    const std::tstring path =
        entry_.inPackage ? entry_.containerPath : entry_.containerPath + given;
    if (!file->Open(path, platform::Share::kDenyWrite)) {
      Fail(std::tstring::FormatNew(kPackageCannotOpen, entry_.containerPath.c_str()));
    }
    stream_ = std::move(file);
  }
  position_ = 0;
  if (entry_.inPackage) keystream_.SetPosition(DataSeed(entry_), 0);
  name_ = given;
  return 0;
}

void VarneFile::Close() {
  CriticalSectionLock hold(lock_);
  if (!stream_) return;
  block_.reset();
  lock_size_ = 0;
  stream_.reset();
  name_.clear();
}

bool VarneFile::IsOpen() {
  CriticalSectionLock hold(lock_);
  return stream_ != nullptr;
}

bool VarneFile::IsEof() {
  CriticalSectionLock hold(lock_);
  if (!stream_) return false;
  return position_ >= (entry_.inPackage ? entry_.storedSize : stream_->Size());
}

std::uint64_t VarneFile::GetSize() {
  CriticalSectionLock hold(lock_);
  return stream_ ? Size() : 0;
}

std::uint64_t VarneFile::Size() { return entry_.inPackage ? entry_.sourceSize : stream_->Size(); }

// A package entry stops at its own end rather than reading on into the next entry's bytes.
ResultCode VarneFile::Read(void* buffer, std::uint32_t count, std::uint32_t* read) {
  CriticalSectionLock hold(lock_);
  if (read != nullptr) *read = 0;
  if (!stream_) return E_FAIL;
  std::uint64_t wanted = count;
  std::uint64_t at = position_;
  if (entry_.inPackage) {
    wanted = std::min(wanted, entry_.sourceSize - std::min(position_, entry_.sourceSize));
    at += entry_.dataOffset;
  }
  const std::int64_t n = stream_->ReadAt(at, buffer, static_cast<std::size_t>(wanted));
  if (n < 0) return E_FAIL;
  if (entry_.inPackage && entry_.IsScrambled())
    keystream_.Apply(static_cast<std::uint8_t*>(buffer), static_cast<std::size_t>(n));
  position_ += static_cast<std::uint64_t>(n);
  if (read != nullptr) *read = static_cast<std::uint32_t>(n);
  return kResultOk;
}
ResultCode VarneFile::Write(const void* /*buffer*/, std::uint32_t /*count*/) { return E_FAIL; }

ResultCode VarneFile::Lock(std::uint32_t count, void** block) {
  CriticalSectionLock hold(lock_);
  if (block == nullptr) Fail("Invalid Param.");
  if (block_) Fail("File is Locked.");
  lock_size_ = count;
  block_ = std::make_unique<std::uint8_t[]>(count);
  std::uint32_t got = 0;
  Read(block_.get(), count, &got);
  if (got < count) Fail("File Lock Size Over.");
  *block = block_.get();
  return kResultOk;
}

ResultCode VarneFile::Unlock() {
  CriticalSectionLock hold(lock_);
  if (!block_) throw VarneFileException("call Unlock() but no locked this file.", false);
  block_.reset();
  lock_size_ = 0;
  return kResultOk;
}

bool VarneFile::IsLocked() {
  CriticalSectionLock hold(lock_);
  return block_ != nullptr;
}

// A target outside the entry is misuse in a package entry (an exception) and a quiet failure in a
// disk entry; an unknown origin is ignored in a package entry.
ResultCode VarneFile::Seek(std::int64_t offset, int origin) {
  CriticalSectionLock hold(lock_);
  if (!stream_) return E_FAIL;
  if (origin < 0 || origin > 2) return entry_.inPackage ? kResultOk : E_FAIL;
  const std::uint64_t size = Size();
  const std::uint64_t from = origin == 0 ? 0 : origin == 1 ? position_ : size;
  const std::uint64_t magnitude =
      offset < 0 ? 0 - static_cast<std::uint64_t>(offset) : static_cast<std::uint64_t>(offset);
  const bool inside =
      offset < 0 ? magnitude <= from : magnitude <= size && from <= size - magnitude;
  const std::uint64_t target = offset < 0 ? from - magnitude : from + magnitude;
  if (!inside || target > size) {
    if (entry_.inPackage) OutOfFile();
    return E_FAIL;
  }
  position_ = target;
  if (entry_.inPackage && entry_.IsScrambled()) keystream_.SetPosition(DataSeed(entry_), position_);
  return kResultOk;
}

std::uint64_t VarneFile::Tell() {
  CriticalSectionLock hold(lock_);
  return stream_ ? position_ : 0;
}
