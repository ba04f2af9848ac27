#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace platform {
namespace {

// Per-user run-time folder when the session has one, else the shared temporary folder; locks
// there vanish with the session or at reboot, as the named objects they stand for do.
std::string LockFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code error;
  if (runtime && *runtime == '/' && std::filesystem::is_directory(runtime, error)) return runtime;
  return "/tmp";
}

// A file name that keeps every name apart: plain characters stay, the rest is escaped; long names
// keep a readable head and a hash of the whole.
std::string LockFileName(const std::string& name) {
  std::string escaped;
  for (const unsigned char c : name) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
        c == '-' || c == '_') {
      escaped += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      escaped += hex;
    }
  }
  if (escaped.size() > 180) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
    char tail[24];
    std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(hash));
    escaped = escaped.substr(0, 160) + tail;
  }
  return "varne-mutex-" + escaped;
}

}  // namespace

NamedMutex::~NamedMutex() { Close(); }

NamedMutex::Result NamedMutex::Create(const std::string& name) {
  Close();
  const std::string path = LockFolder() + "/" + LockFileName(name);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0666);
  if (fd < 0) return errno == ELOOP || errno == EISDIR ? kOtherKind : kCreated;
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return kOtherKind;
  }
  // Other users' copies must be able to open the same lock to see it held.
  if (info.st_uid == ::geteuid()) ::fchmod(fd, 0666);
  fd_ = fd;
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
    RecordHolder();
    return kCreated;
  }
  return errno == EWOULDBLOCK ? kExists : kCreated;
}

void NamedMutex::Wait() {
  if (fd_ < 0) return;
  while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
  RecordHolder();
}

void NamedMutex::Close() {
  if (fd_ < 0) return;
  ::close(fd_);  // closing the only descriptor releases the lock
  fd_ = -1;
}

int NamedMutex::HolderProcessId() const {
  if (fd_ < 0) return 0;
  char text[16] = {};
  const ssize_t count = ::pread(fd_, text, sizeof text - 1, 0);
  return count > 0 ? std::atoi(text) : 0;
}

void NamedMutex::RecordHolder() {
  const std::string text = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd_, 0) == 0) {
    [[maybe_unused]] const ssize_t written = ::pwrite(fd_, text.data(), text.size(), 0);
  }
}

}  // namespace platform
