#include "platform/file_stamp.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"
#include "platform/path.h"

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
  // A name that stands as spelled is what ResolvePath gives, without its look-up: a check of an
  // unchanged install costs one look per file.
  if (::stat(ToNativePath(internal).c_str(), &info) != 0 &&
      ::stat(ResolvePath(internal).c_str(), &info) != 0) {
    return std::nullopt;
  }
  return StampFrom(info);
}

std::int64_t FileClockNow() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return Nanoseconds(now);
}

SequentialOpen SequentialFile::Open(const std::string& internal) {
  Close();
  const std::string native = ResolvePath(internal);
  // Looked at before opening: opening a device can act on it, opening a pipe waits for a writer.
  struct stat info;
  if (::stat(native.c_str(), &info) != 0) return SequentialOpen::kFailed;
  if (!S_ISREG(info.st_mode)) return SequentialOpen::kNotRegular;
  file_.Reset(::open(native.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file_.Valid()) return SequentialOpen::kFailed;
  // The name may have been given to something else in between.
  if (::fstat(file_.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    Close();
    return SequentialOpen::kNotRegular;
  }
  if (::flock(file_.Get(), LOCK_SH | LOCK_NB) != 0) {
    Close();
    return SequentialOpen::kFailed;
  }
  stamp_ = StampFrom(info);
  // Only a hint: the read works the same without it.
  ::posix_fadvise(file_.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  return SequentialOpen::kOpened;
}

}  // namespace platform
