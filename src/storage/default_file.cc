#include "storage/default_file.h"

#include "base/exception.h"

namespace {

constexpr std::uint64_t kAllBits = ~std::uint64_t{0};

platform::Access AccessOf(int mode) {
  switch (mode & kOpenAccessMask) {
    case kOpenReadOnly:
      return platform::Access::kRead;
    case kOpenWriteOnly:
      return platform::Access::kWrite;
    default:
      return platform::Access::kReadWrite;
  }
}

platform::Disposition DispositionOf(int mode) {
  if ((mode & kOpenCreate) == 0) return platform::Disposition::kOpenExisting;
  if (mode & kOpenExclusive) return platform::Disposition::kCreateNew;
  if (mode & kOpenTruncate) return platform::Disposition::kCreateAlways;
  return platform::Disposition::kOpenAlways;
}

std::tstring OpenFailureText(platform::OpenError error) {
  switch (error) {
    case platform::OpenError::kDenied:
      return "ファイルは書き込み違反か共有違反で開けませんでした。\n";
    case platform::OpenError::kExists:
      return "既に存在するファイルを新たに作成しようとしました。\n";
    default:
      return "ファイルは開けませんでした。\n";
  }
}

}  // namespace

DefaultFile::~DefaultFile() noexcept(false) { Close(); }

int DefaultFile::Open(const char* path, int mode) {
  Close();
  const std::tstring name(path);
  const platform::OpenError error =
      file_.Open(name, AccessOf(mode), platform::Share::kDenyWrite, DispositionOf(mode));
  if (error != platform::OpenError::kNone)
    throw IFileException(OpenFailureText(error) + name, false);
  const std::int64_t length = file_.Length();
  if (length < 0) {
    file_.Close();
    throw IFileException("ファイルは開けませんでした。\n" + name, true);
  }
  writable_ = (mode & kOpenAccessMask) != kOpenReadOnly;
  size_ = length;
  name_ = name;
  return 0;
}

void DefaultFile::Close() {
  Unlock();
  file_.Close();
  writable_ = false;
}

bool DefaultFile::IsEof() {
  if (!file_.IsOpen()) return false;
  return file_.Tell() >= file_.Length();
}

std::uint64_t DefaultFile::GetSize() {
  return file_.IsOpen() ? static_cast<std::uint64_t>(size_) : kAllBits;
}

ResultCode DefaultFile::Read(void* buffer, std::uint32_t count, std::uint32_t* read) {
  if (!file_.IsOpen()) return E_FAIL;
  const std::int64_t n = file_.Read(buffer, count);
  if (read != nullptr) *read = n > 0 ? static_cast<std::uint32_t>(n) : 0;
  if (n <= 0) return E_FAIL;
  return n == count ? kResultOk : kResultPartial;
}

ResultCode DefaultFile::Write(const void* buffer, std::uint32_t count) {
  if (!file_.IsOpen() || !writable_) return E_FAIL;
  return file_.Write(buffer, count) == count ? kResultOk : E_FAIL;
}

ResultCode DefaultFile::Lock(std::uint32_t count, void** block) {
  if (!file_.IsOpen()) throw DefaultFileException("File Not OK.");
  if (block_) throw DefaultFileException("Lock Data buffer not NULL.");
  block_ = std::make_unique<std::uint8_t[]>(count);
  lock_size_ = count;
  if (file_.Read(block_.get(), count) != static_cast<std::int64_t>(count)) {
    throw DefaultFileException("Data read error.");
  }
  *block = block_.get();
  return kResultOk;
}

ResultCode DefaultFile::Unlock() {
  if (file_.IsOpen()) {
    block_.reset();
    lock_size_ = -1;
  }
  return kResultOk;
}

ResultCode DefaultFile::Seek(std::int64_t offset, int origin) {
  if (!file_.IsOpen()) return E_FAIL;
  if (origin == 0 && offset > size_) return E_FAIL;
  if (origin == 2 && offset > 0) return E_FAIL;
  if (origin == 1 &&
      static_cast<std::uint64_t>(file_.Tell() + offset) > static_cast<std::uint64_t>(size_)) {
    return E_FAIL;
  }
  if (origin < 0 || origin > 2) return E_FAIL;
  return file_.Seek(offset, static_cast<platform::SeekFrom>(origin)) < 0 ? E_FAIL : kResultOk;
}

std::uint64_t DefaultFile::Tell() {
  return file_.IsOpen() ? static_cast<std::uint64_t>(file_.Tell()) : kAllBits;
}
