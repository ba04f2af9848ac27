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

#include "platform/bounded_name.h"

namespace platform {
namespace {

// Names are per user, as named objects are per session: the user's run-time folder when the
// session has one, else the shared temporary folder with the user's id in each name. Locks there
// vanish with the session or at reboot, as the objects they stand for do.
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
  return "varne-mutex-" + std::to_string(::geteuid()) + "-" + BoundedName(escaped, name);
}

}  // namespace

NamedMutex::~NamedMutex() { Close(); }

NamedMutex::Result NamedMutex::Create(const std::string& name) {
  Close();
  const std::string path = LockFolder() + "/" + LockFileName(name);
  NativeHandle lock(
      ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
  if (!lock.Valid()) return errno == ELOOP || errno == EISDIR ? kOtherKind : kCreated;
  struct stat info;
  if (::fstat(lock.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return kOtherKind;
  // A file another user put under this user's name is not this user's lock; holding it would let
  // that user keep every copy from running. Like an object one may not open: run unguarded.
  if (info.st_uid != ::geteuid()) return kCreated;
  lock_ = std::move(lock);
  if (::flock(lock_.Get(), LOCK_EX | LOCK_NB) == 0) {
    RecordHolder();
    return kCreated;
  }
  return errno == EWOULDBLOCK ? kExists : kCreated;
}

void NamedMutex::Wait() {
  if (!IsOpen()) return;
  while (::flock(lock_.Get(), LOCK_EX) != 0 && errno == EINTR) {
  }
  RecordHolder();
}

// Closing the only descriptor releases the lock.
void NamedMutex::Close() { lock_.Reset(); }

int NamedMutex::HolderProcessId() const {
  if (!IsOpen()) return 0;
  char text[16] = {};
  const ssize_t count = ::pread(lock_.Get(), text, sizeof text - 1, 0);
  return count > 0 ? std::atoi(text) : 0;
}

void NamedMutex::RecordHolder() {
  const std::string text = std::to_string(::getpid()) + "\n";
  if (::ftruncate(lock_.Get(), 0) == 0) {
    [[maybe_unused]] const ssize_t written = ::pwrite(lock_.Get(), text.data(), text.size(), 0);
  }
}

}  // namespace platform
