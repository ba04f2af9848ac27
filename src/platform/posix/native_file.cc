#include "platform/native_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace platform {

void NativeHandle::Close(Raw raw) { ::close(raw); }

namespace native {
namespace {

OpenError ErrorFromErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
    case EWOULDBLOCK:
      return OpenError::kDenied;
    case EEXIST:
      return OpenError::kExists;
    default:
      return OpenError::kOther;
  }
}

int OpenFlags(Access access, Disposition disposition) {
  // Non-blocking, so that opening a pipe returns at once and can be refused.
  int flags = O_CLOEXEC | O_NONBLOCK;
  flags |= access == Access::kRead ? O_RDONLY : access == Access::kWrite ? O_WRONLY : O_RDWR;
  // Truncation waits until the sharing lock is held, so that a refused open changes nothing.
  if (disposition == Disposition::kCreateAlways || disposition == Disposition::kOpenAlways) {
    flags |= O_CREAT;
  }
  if (disposition == Disposition::kCreateNew) flags |= O_CREAT | O_EXCL;
  return flags;
}

// Refuses a descriptor opened non-blocking on anything but a regular file, and makes it blocking.
bool KeepsRegularFile(int fd) {
  struct stat info;
  return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
         ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0;
}

// POSIX has no sharing modes: denying writes is an advisory lock on the open file, shared when it
// only reads and exclusive when it writes, which only the opens made through File honour.
bool LockShared(int fd, Access access, Share share) {
  if (share != Share::kDenyWrite) return true;
  return ::flock(fd, (access == Access::kRead ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0;
}

bool StartsLikeProgram(int fd) {
  unsigned char head[4] = {};
  const ssize_t n = ::pread(fd, head, sizeof head, 0);
  if (n >= 2 && head[0] == '#' && head[1] == '!') return true;
  return n == 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F';
}

}  // namespace

NativeHandle Open(const std::string& path, Access access, Share share, Disposition disposition,
                  OpenError& error) {
  NativeHandle file(::open(path.c_str(), OpenFlags(access, disposition), 0666));
  if (!file.Valid()) {
    error = ErrorFromErrno(errno);
  } else if (!KeepsRegularFile(file.Get())) {
    error = OpenError::kOther;
  } else if (!LockShared(file.Get(), access, share) ||
             (disposition == Disposition::kCreateAlways && ::ftruncate(file.Get(), 0) != 0)) {
    error = ErrorFromErrno(errno);
  } else {
    error = OpenError::kNone;
    return file;
  }
  return {};
}

NativeHandle CreateNew(const std::string& path, bool& exists) {
  NativeHandle file(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  exists = !file.Valid() && errno == EEXIST;
  return file;
}

NativeHandle OpenPlain(const std::string& path, bool& foreign) {
  // A hard link is a second name of a file that may lie anywhere on the volume: a file of more
  // than one name is another's as much as a symbolic link is. Looked at before the open as well,
  // which would act on a device.
  const auto own = [](const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_nlink == 1;
  };
  struct stat info;
  foreign = ::lstat(path.c_str(), &info) == 0 && !own(info);
  if (foreign) return {};
  // O_NOFOLLOW: a link planted under the name would have the bytes written where it leads.
  NativeHandle file(
      ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
  if (!file.Valid()) {
    foreign = errno == ELOOP;
  } else if (::fstat(file.Get(), &info) != 0 || !own(info)) {
    foreign = true;
    file.Reset();
  } else if (!KeepsRegularFile(file.Get())) {
    file.Reset();
  }
  return file;
}

std::int64_t ReadSome(const NativeHandle& file, void* buffer, std::size_t count) {
  ssize_t n;
  do {
    n = ::read(file.Get(), buffer, count);
  } while (n < 0 && errno == EINTR);
  return n;
}

std::int64_t WriteSome(const NativeHandle& file, const void* bytes, std::size_t count) {
  ssize_t n;
  do {
    n = ::write(file.Get(), bytes, count);
  } while (n < 0 && errno == EINTR);
  return n;
}

std::int64_t Seek(const NativeHandle& file, std::int64_t offset, SeekFrom from) {
  const int whence = from == SeekFrom::kStart     ? SEEK_SET
                     : from == SeekFrom::kCurrent ? SEEK_CUR
                                                  : SEEK_END;
  return ::lseek(file.Get(), offset, whence);
}

std::int64_t Length(const NativeHandle& file) {
  struct stat info;
  return ::fstat(file.Get(), &info) == 0 ? info.st_size : -1;
}

bool Sync(const NativeHandle& file) { return ::fsync(file.Get()) == 0; }

// syncfs reports a write-back failure of the file system since each file was opened, so a failed
// write of any of them is seen; one file alone is cheaper synced by itself.
bool SyncAll(const std::vector<const NativeHandle*>& files) {
  if (files.size() == 1) return Sync(*files.front());
  std::vector<dev_t> synced;
  for (const NativeHandle* file : files) {
    struct stat info;
    if (::fstat(file->Get(), &info) != 0) return false;
    if (std::find(synced.begin(), synced.end(), info.st_dev) != synced.end()) continue;
    if (::syncfs(file->Get()) != 0) return false;
    synced.push_back(info.st_dev);
  }
  return true;
}

bool Truncate(const NativeHandle& file, std::uint64_t length) {
  return ::ftruncate(file.Get(), static_cast<off_t>(length)) == 0;
}

void StartWriteOut(const NativeHandle& file, std::uint64_t offset, std::uint64_t length) {
  ::sync_file_range(file.Get(), static_cast<off_t>(offset), static_cast<off_t>(length),
                    SYNC_FILE_RANGE_WRITE);
}

// An existing target passes its bits on; a new program gets execute bits where it has read bits.
bool TakeModeOf(const NativeHandle& file, const std::string& target) {
  struct stat info;
  if (::stat(target.c_str(), &info) == 0) return ::fchmod(file.Get(), info.st_mode & 07777) == 0;
  if (!StartsLikeProgram(file.Get())) return true;
  if (::fstat(file.Get(), &info) != 0) return false;
  const mode_t mode = info.st_mode & 07777;
  return ::fchmod(file.Get(), mode | ((mode & 0444) >> 2)) == 0;
}

bool RenameOver(const std::string& from, const std::string& target) {
  return ::rename(from.c_str(), target.c_str()) == 0;
}

bool Remove(const std::string& path) { return ::unlink(path.c_str()) == 0; }

Kind KindOf(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return Kind::kNothing;
  if (S_ISREG(info.st_mode)) return Kind::kFile;
  return S_ISDIR(info.st_mode) ? Kind::kFolder : Kind::kSpecial;
}

bool IsPlainOrAbsent(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode);
}

}  // namespace native
}  // namespace platform
