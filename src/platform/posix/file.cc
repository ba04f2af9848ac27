#include "platform/file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <system_error>
#include <unordered_map>

#include "platform/file_faults.h"
#include "platform/path.h"
#include "platform/replacement_name.h"
#include "platform/text.h"

namespace platform {
namespace {

// Set only by the tests' fault-injection library.
std::atomic<FileFaults*> file_faults{nullptr};

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

// lstat itself: a std::filesystem::path would split the whole path into components on every
// call, and resolving a deep path asks about each of its folders.
bool Exists(const std::string& native) {
  struct stat info;
  return ::lstat(native.c_str(), &info) == 0;
}

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The entry of folder whose name equals name without regard to case, or name itself.
std::string MatchWithoutCase(const std::string& folder, const std::string& name) {
  const std::string wanted = ToLowerAnsi(name);
  std::error_code error;
  std::filesystem::directory_iterator it(folder.empty() ? "." : folder, error);
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    std::string candidate = it->path().filename().string();
    if (ToLowerAnsi(candidate) == wanted) return candidate;
  }
  return name;
}

ssize_t WriteSome(int fd, const char* data, std::size_t count) {
  if (FileFaults* faults = file_faults.load()) {
    count = faults->WritableBytes(count);
    if (count == 0) {
      errno = ENOSPC;
      return -1;
    }
  }
  return ::write(fd, data, count);
}

bool ReplaceFails() {
  FileFaults* faults = file_faults.load();
  return faults != nullptr && faults->ReplaceFails();
}

bool StartsLikeProgram(int fd) {
  unsigned char head[4] = {};
  const ssize_t n = ::pread(fd, head, sizeof head, 0);
  if (n >= 2 && head[0] == '#' && head[1] == '!') return true;
  return n == 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F';
}

bool IsSpecialMode(mode_t mode) {
  return S_ISFIFO(mode) || S_ISCHR(mode) || S_ISBLK(mode) || S_ISSOCK(mode);
}

// Gives the new file the permission bits it should have once it stands at target.
bool SetReplacementMode(int fd, const std::string& target) {
  struct stat info;
  if (::stat(target.c_str(), &info) == 0) return ::fchmod(fd, info.st_mode & 07777) == 0;
  if (!StartsLikeProgram(fd)) return true;
  if (::fstat(fd, &info) != 0) return false;
  const mode_t mode = info.st_mode & 07777;
  return ::fchmod(fd, mode | ((mode & 0444) >> 2)) == 0;
}

// Refuses a descriptor opened non-blocking on anything but a regular file, and makes it blocking.
bool KeepsRegularFile(int fd) {
  struct stat info;
  return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
         ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0;
}

bool ProcessRuns(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

// Resolves the components of native from position start on, below the already resolved prefix.
std::string Walk(std::string resolved, const std::string& native, std::size_t start) {
  bool searching = resolved.empty() || Exists(resolved);
  while (start <= native.size()) {
    std::size_t end = native.find('/', start);
    if (end == std::string::npos) end = native.size();
    std::string part = native.substr(start, end - start);
    if (searching && !part.empty() && part != "." && part != ".." &&
        !Exists(Join(resolved, part))) {
      part = MatchWithoutCase(resolved, part);
      searching = Exists(Join(resolved, part));
    }
    resolved = part.empty() ? resolved : Join(resolved, part);
    if (end < native.size() && end + 1 == native.size()) resolved += '/';
    start = end + 1;
  }
  return resolved;
}

std::string ResolveNative(const std::string& native);

// Folders resolved without regard to case, by the form they were asked for: every file of a
// folder asked for in the wrong case would otherwise list the folders above it again. An entry is
// used only while the folder it names exists.
std::string ResolveFolder(const std::string& folder) {
  static std::mutex lock;
  static std::unordered_map<std::string, std::string> cache;
  {
    std::lock_guard<std::mutex> hold(lock);
    const auto it = cache.find(folder);
    if (it != cache.end() && Exists(it->second)) return it->second;
  }
  std::string resolved = ResolveNative(folder);
  if (Exists(resolved)) {
    std::lock_guard<std::mutex> hold(lock);
    if (cache.size() >= 256) cache.clear();
    cache[folder] = resolved;
  }
  return resolved;
}

std::string ResolveNative(const std::string& native) {
  if (native.empty() || Exists(native)) return native;
  const std::size_t last =
      native.size() < 2 ? std::string::npos : native.rfind('/', native.size() - 2);
  if (last == std::string::npos || last == 0) {
    const std::string root = native[0] == '/' ? "/" : "";
    return Walk(root, native, root.size());
  }
  return Walk(ResolveFolder(native.substr(0, last)), native, last + 1);
}

}  // namespace

File::~File() { Close(); }

OpenError File::Open(const std::string& path, Access access, Share share, Disposition disposition) {
  Close();
  const std::string native = ResolvePath(path);
  const int fd = ::open(native.c_str(), OpenFlags(access, disposition), 0666);
  if (fd < 0) return ErrorFromErrno(errno);
  fd_ = fd;
  if (!KeepsRegularFile(fd_)) {
    Close();
    return OpenError::kOther;
  }
  // POSIX has no sharing modes: denying writes is an advisory lock on the open file, shared when
  // it only reads and exclusive when it writes, which only the opens made through File honour.
  if (share == Share::kDenyWrite) {
    const int mode = access == Access::kRead ? LOCK_SH : LOCK_EX;
    if (::flock(fd_, mode | LOCK_NB) != 0) {
      const int error = errno;
      Close();
      return ErrorFromErrno(error);
    }
  }
  if (disposition == Disposition::kCreateAlways && ::ftruncate(fd_, 0) != 0) {
    const int error = errno;
    Close();
    return ErrorFromErrno(error);
  }
  return OpenError::kNone;
}

void File::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::int64_t File::Read(void* buffer, std::size_t count) {
  if (fd_ < 0) return -1;
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd_, static_cast<char*>(buffer) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return done > 0 ? static_cast<std::int64_t>(done) : -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

std::size_t File::Write(const void* buffer, std::size_t count) {
  if (fd_ < 0) return 0;
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = WriteSome(fd_, static_cast<const char*>(buffer) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

std::int64_t File::Seek(std::int64_t offset, SeekFrom from) {
  if (fd_ < 0) return -1;
  const int whence = from == SeekFrom::kStart     ? SEEK_SET
                     : from == SeekFrom::kCurrent ? SEEK_CUR
                                                  : SEEK_END;
  return ::lseek(fd_, offset, whence);
}

std::int64_t File::Tell() const { return fd_ < 0 ? -1 : ::lseek(fd_, 0, SEEK_CUR); }

std::int64_t File::Length() const {
  struct stat info;
  if (fd_ < 0 || ::fstat(fd_, &info) != 0) return -1;
  return info.st_size;
}

bool File::Sync() { return fd_ >= 0 && ::fsync(fd_) == 0; }

// Synced before the rename: after a power loss the name must not lead to unwritten bytes.
bool File::MoveInPlace(const std::string& from, const std::string& target) {
  if (ReplaceFails() || !SetReplacementMode(fd_, target) || !Sync() ||
      ::rename(from.c_str(), target.c_str()) != 0) {
    return false;
  }
  Close();
  return true;
}

void File::CloseAndRemove(std::string& name) {
  Close();
  if (!name.empty()) ::unlink(name.c_str());
  name.clear();
}

bool ReplacementFile::Create(const std::string& destination) {
  static std::atomic<unsigned> counter{0};
  Discard();
  written_ = written_out_ = 0;
  target_ = ResolvePath(destination);
  struct stat info;
  if (::stat(target_.c_str(), &info) == 0 && IsSpecialMode(info.st_mode)) return false;
  const std::filesystem::path target(target_);
  const std::string folder = target.parent_path().string();
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Built by appending: GCC 12 at -O3 warns falsely (-Wrestrict) on a chain of "+".
    const std::string native =
        Join(folder, ReplacementName(target.filename().string(), counter.fetch_add(1)));
    const int fd = ::open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      file_.fd_ = fd;
      temp_ = native;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

void File::StartWriteOut(std::uint64_t offset, std::uint64_t length) {
  ::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(length),
                    SYNC_FILE_RANGE_WRITE);
}

std::size_t ReplacementFile::Write(const void* buffer, std::size_t count) {
  const std::size_t written = file_.Write(buffer, count);
  written_ += written;
  if (written_ - written_out_ >= File::kWriteOutStep) {
    // Only started here, not waited for: the disk works while the rest of the file is produced.
    file_.StartWriteOut(written_out_, written_ - written_out_);
    written_out_ = written_;
  }
  return written;
}

bool ResumableFile::Open(const std::string& destination) {
  file_.Close();
  part_.clear();
  target_ = ResolvePath(destination);
  struct stat info;
  if (::lstat(target_.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return false;
  const std::filesystem::path target(target_);
  const std::string part =
      Join(target.parent_path().string(), ResumablePartName(target.filename().string()));
  // O_NOFOLLOW: a link planted under the part's name would have the bytes written where it leads.
  const int fd = ::open(part.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  file_.fd_ = fd;
  if (!KeepsRegularFile(fd) || file_.Seek(0, SeekFrom::kEnd) < 0) {
    file_.Close();
    return false;
  }
  part_ = part;
  return true;
}

bool ResumableFile::Truncate(std::uint64_t length) {
  if (length > Length() || ::ftruncate(file_.fd_, static_cast<off_t>(length)) != 0) return false;
  return file_.Seek(static_cast<std::int64_t>(length), SeekFrom::kStart) ==
         static_cast<std::int64_t>(length);
}

std::string ResolvePath(const std::string& internal) {
  return ResolveNative(ToNativePath(internal));
}

std::string GetFullPath(const std::string& internal) {
  std::string path = internal;
  if (path.empty() || path[0] != '\\') {
    std::error_code error;
    path = ToInternalPath(std::filesystem::current_path(error).string()) + "\\" + path;
  }
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string full;
  for (const std::string& part : parts) full += "\\" + part;
  if (full.empty() || path.back() == '\\') full += '\\';
  return full;
}

bool SetCurrentFolder(const std::string& internal) {
  std::error_code error;
  std::filesystem::current_path(ResolvePath(internal), error);
  return !error;
}

bool IsRegularFile(const std::string& internal) {
  struct stat info;
  return ::stat(ResolvePath(internal).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::optional<std::string> RealPath(const std::string& internal) {
  char* real = ::realpath(ResolvePath(internal.empty() ? "." : internal).c_str(), nullptr);
  if (real == nullptr) return std::nullopt;
  std::string path = ToInternalPath(real);
  std::free(real);
  return path;
}

bool IsDirectory(const std::string& internal) {
  std::error_code error;
  return std::filesystem::is_directory(ResolvePath(internal), error);
}

bool PathExists(const std::string& internal) {
  struct stat info;
  return ::lstat(ResolvePath(internal).c_str(), &info) == 0;
}

bool IsSpecialFile(const std::string& internal) {
  struct stat info;
  return ::stat(ResolvePath(internal).c_str(), &info) == 0 && IsSpecialMode(info.st_mode);
}

bool SyncFolder(const std::string& internal) {
  const std::string native = ResolvePath(internal.empty() ? "." : internal);
  const int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

int RemoveAbandonedReplacements(const std::string& internal_folder) {
  const std::string folder = ResolvePath(internal_folder.empty() ? "." : internal_folder);
  std::error_code error;
  std::filesystem::directory_iterator it(folder, error);
  int removed = 0;
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const int writer = WriterOfReplacement(it->path().filename().string());
    std::error_code kind_error;
    if (writer <= 0 || ProcessRuns(writer) || !it->is_regular_file(kind_error)) continue;
    if (::unlink(it->path().c_str()) == 0) ++removed;
  }
  return removed;
}

bool MakeDirectory(const std::string& internal) {
  return ::mkdir(ResolvePath(internal).c_str(), 0777) == 0;
}

bool RemoveFile(const std::string& internal) {
  return ::unlink(ResolvePath(internal).c_str()) == 0;
}

bool ListDirectory(const std::string& internal, std::vector<DirectoryItem>* items) {
  std::error_code error;
  std::filesystem::directory_iterator it(ResolvePath(internal), error);
  if (error) return false;
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    std::error_code kind_error;
    const bool folder = it->is_directory(kind_error);
    // Pipes, sockets and devices hold no file contents; opening a pipe would block. A link to a
    // folder is not entered: it may lead back up the tree and list the same files for ever.
    if (!folder && !it->is_regular_file(kind_error)) continue;
    if (folder && it->is_symlink(kind_error)) continue;
    items->push_back({it->path().filename().string(), folder});
  }
  return !error;
}

void SetFileFaults(FileFaults* faults) { file_faults.store(faults); }

}  // namespace platform
