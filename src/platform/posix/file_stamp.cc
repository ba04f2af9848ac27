#include "platform/file_stamp.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"

namespace platform {
namespace {

std::int64_t Nanoseconds(const struct timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

FileStamp StampFrom(const struct stat& info) {
  FileStamp stamp;
  stamp.size = info.st_size;
  stamp.modified_ns = Nanoseconds(info.st_mtim);
  stamp.changed_ns = Nanoseconds(info.st_ctim);
  stamp.device = info.st_dev;
  stamp.file_id = info.st_ino;
  return stamp;
}

}  // namespace

std::optional<FileStamp> StampOf(const std::string& internal) {
  struct stat info;
  if (::stat(ResolvePath(internal).c_str(), &info) != 0) return std::nullopt;
  return StampFrom(info);
}

std::int64_t FileClockNow() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return Nanoseconds(now);
}

SequentialFile::~SequentialFile() { Close(); }

SequentialOpen SequentialFile::Open(const std::string& internal) {
  Close();
  const std::string native = ResolvePath(internal);
  // Looked at before opening: opening a device can act on it, opening a pipe waits for a writer.
  struct stat info;
  if (::stat(native.c_str(), &info) != 0) return SequentialOpen::kFailed;
  if (!S_ISREG(info.st_mode)) return SequentialOpen::kNotRegular;
  fd_ = ::open(native.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) return SequentialOpen::kFailed;
  // The name may have been given to something else in between.
  if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
    Close();
    return SequentialOpen::kNotRegular;
  }
  if (::flock(fd_, LOCK_SH | LOCK_NB) != 0) {
    Close();
    return SequentialOpen::kFailed;
  }
  stamp_ = StampFrom(info);
  // Only a hint: the read works the same without it.
  ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  return SequentialOpen::kOpened;
}

std::int64_t SequentialFile::Read(void* buffer, std::size_t count) {
  if (fd_ < 0) return -1;
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd_, static_cast<char*>(buffer) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

void SequentialFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  stamp_ = {};
}

}  // namespace platform
