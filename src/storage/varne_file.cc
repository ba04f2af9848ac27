#include "storage/varne_file.h"

#include <algorithm>

#include "base/exception.h"
#include "storage/historical_messages.h"

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
  const std::tstring path = entry_.inPackage ? entry_.containerPath : entry_.containerPath + given;
  if (file_.Open(path, platform::Access::kRead, platform::Share::kDenyWrite,
                 platform::Disposition::kOpenExisting) != platform::OpenError::kNone) {
    Fail(std::tstring::FormatNew("Package File \"%s\" cannot open.", entry_.containerPath.c_str()));
  }
  if (entry_.inPackage) {
    if (file_.Seek(static_cast<std::int64_t>(entry_.dataOffset), 0) < 0) {
      file_.Close();
      throw VarneFileSystemException("File seek error.", true);
    }
    position_ = 0;
    keystream_.SetPosition(DataSeed(entry_), 0);
  }
  name_ = given;
  return 0;
}

void VarneFile::Close() {
  CriticalSectionLock hold(lock_);
  if (!file_.IsOpen()) return;
  block_.reset();
  lock_size_ = 0;
  file_.Close();
  name_.clear();
}

bool VarneFile::IsOpen() {
  CriticalSectionLock hold(lock_);
  return file_.IsOpen();
}

bool VarneFile::IsEof() {
  CriticalSectionLock hold(lock_);
  if (!file_.IsOpen()) return false;
  if (entry_.inPackage) return position_ >= entry_.storedSize;
  return file_.Tell() >= file_.Length();
}

std::uint64_t VarneFile::GetSize() {
  CriticalSectionLock hold(lock_);
  if (!file_.IsOpen()) return 0;
  if (entry_.inPackage) return entry_.sourceSize;
  return static_cast<std::uint64_t>(std::max<std::int64_t>(file_.Length(), 0));
}

// A package entry stops at its own end rather than reading on into the next entry's bytes.
ResultCode VarneFile::Read(void* buffer, std::uint32_t count, std::uint32_t* read) {
  CriticalSectionLock hold(lock_);
  if (read != nullptr) *read = 0;
  if (!file_.IsOpen()) return E_FAIL;
  std::uint64_t wanted = count;
  if (entry_.inPackage)
    wanted = std::min(wanted, entry_.sourceSize - std::min(position_, entry_.sourceSize));
  const std::int64_t n = file_.Read(buffer, static_cast<std::size_t>(wanted));
  if (n < 0) return E_FAIL;
  if (entry_.inPackage) {
    if (entry_.IsScrambled())
      keystream_.Apply(static_cast<std::uint8_t*>(buffer), static_cast<std::size_t>(n));
    position_ += static_cast<std::uint64_t>(n);
  }
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

ResultCode VarneFile::Seek(std::int64_t offset, int origin) {
  CriticalSectionLock hold(lock_);
  if (!file_.IsOpen()) return E_FAIL;
  return entry_.inPackage ? SeekInPackage(offset, origin) : SeekOnDisk(offset, origin);
}

ResultCode VarneFile::SeekInPackage(std::int64_t offset, int origin) {
  const auto size = static_cast<std::int64_t>(entry_.sourceSize);
  std::uint64_t target = 0;
  switch (origin) {
    case 0:
      if (offset < 0 || offset > size) OutOfFile();
      target = static_cast<std::uint64_t>(offset);
      break;
    case 1:
      target = position_ + static_cast<std::uint64_t>(offset);
      if (target > entry_.sourceSize) OutOfFile();
      break;
    case 2:
      if (offset < -size || offset > 0) OutOfFile();
      target = static_cast<std::uint64_t>(size + offset);
      break;
    default:
      return kResultOk;
  }
  if (file_.Seek(static_cast<std::int64_t>(entry_.dataOffset + target), 0) < 0) return E_FAIL;
  position_ = target;
  if (entry_.IsScrambled()) keystream_.SetPosition(DataSeed(entry_), position_);
  return kResultOk;
}

ResultCode VarneFile::SeekOnDisk(std::int64_t offset, int origin) {
  const auto size = static_cast<std::uint64_t>(std::max<std::int64_t>(file_.Length(), 0));
  if (origin == 0 && offset > static_cast<std::int64_t>(size)) return E_FAIL;
  if (origin == 2 && offset > 0) return E_FAIL;
  if (origin == 1 && static_cast<std::uint64_t>(file_.Tell() + offset) > size) return E_FAIL;
  return file_.Seek(offset, origin) < 0 ? E_FAIL : kResultOk;
}

std::uint64_t VarneFile::Tell() {
  CriticalSectionLock hold(lock_);
  if (!file_.IsOpen()) return 0;
  if (entry_.inPackage) return position_;
  return static_cast<std::uint64_t>(std::max<std::int64_t>(file_.Tell(), 0));
}
