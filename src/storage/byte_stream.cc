#include "storage/byte_stream.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr std::uint64_t kUnknownPosition = std::numeric_limits<std::uint64_t>::max();

}  // namespace

bool FileStream::Open(const std::tstring& path, platform::Share share) {
  position_ = 0;
  return file_.Open(path, platform::Access::kRead, share, platform::Disposition::kOpenExisting) ==
         platform::OpenError::kNone;
}

std::uint64_t FileStream::Size() {
  return static_cast<std::uint64_t>(std::max<std::int64_t>(file_.Length(), 0));
}

std::int64_t FileStream::ReadAt(std::uint64_t offset, void* buffer, std::size_t count) {
  if (offset != position_) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
        file_.Seek(static_cast<std::int64_t>(offset), platform::SeekFrom::kStart) < 0) {
      return -1;
    }
    position_ = offset;
  }
  const std::int64_t n = file_.Read(buffer, count);
  position_ = n < 0 ? kUnknownPosition : position_ + static_cast<std::uint64_t>(n);
  return n;
}

std::int64_t MemoryStream::ReadAt(std::uint64_t offset, void* buffer, std::size_t count) {
  if (offset >= bytes_->size()) return 0;
  const std::size_t n = std::min<std::uint64_t>(count, bytes_->size() - offset);
  std::memcpy(buffer, bytes_->data() + offset, n);
  return static_cast<std::int64_t>(n);
}
