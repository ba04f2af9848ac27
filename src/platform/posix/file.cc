#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <unordered_map>

#include "platform/native_file.h"
#include "platform/path.h"
#include "platform/posix/folder_names.h"
#include "platform/text.h"

namespace platform {
namespace {

// lstat itself: a std::filesystem::path would split the whole path into components on every
// call, and resolving a deep path asks about each of its folders.
bool Exists(const std::string& native) {
  struct stat info;
  return ::lstat(native.c_str(), &info) == 0;
}

// Resolves the components of native from position start on, below the already resolved prefix.
std::string Walk(std::string resolved, const std::string& native, std::size_t start) {
  bool searching = resolved.empty() || Exists(resolved);
  while (start <= native.size()) {
    std::size_t end = native.find('/', start);
    if (end == std::string::npos) end = native.size();
    std::string part = native.substr(start, end - start);
    if (searching && !part.empty() && part != "." && part != ".." &&
        !Exists(native::Join(resolved, part))) {
      part = MatchWithoutCase(resolved, part);
      searching = Exists(native::Join(resolved, part));
    }
    resolved = part.empty() ? resolved : native::Join(resolved, part);
    if (end < native.size() && end + 1 == native.size()) resolved += '/';
    start = end + 1;
  }
  return resolved;
}

std::string ResolveNative(const std::string& native);

// Folders resolved without regard to case, by the form they were asked for: every file of a
// folder asked for in the wrong case would otherwise list the folders above it again. A tree is
// walked folder by folder, so few folders are in use at once: past kFolders the oldest entry makes
// room, which bounds the memory whatever the tree. An entry is used only while its folder exists.
class FolderCache {
 public:
  std::optional<std::string> Find(const std::string& folder) {
    std::lock_guard<std::mutex> hold(lock_);
    const auto it = entries_.find(folder);
    if (it == entries_.end() || !Exists(it->second)) return std::nullopt;
    return it->second;
  }
  void Keep(const std::string& folder, const std::string& resolved) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!entries_.insert_or_assign(folder, resolved).second) return;
    order_.push_back(folder);
    if (order_.size() <= kFolders) return;
    entries_.erase(order_.front());
    order_.pop_front();
  }

 private:
  static constexpr std::size_t kFolders = 256;
  std::mutex lock_;
  std::unordered_map<std::string, std::string> entries_;
  std::deque<std::string> order_;  // the entries' keys, oldest first
};

std::string ResolveFolder(const std::string& folder) {
  static FolderCache cache;
  if (std::optional<std::string> known = cache.Find(folder)) return *known;
  std::string resolved = ResolveNative(folder);
  if (Exists(resolved)) cache.Keep(folder, resolved);
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

std::optional<std::string> RealPath(const std::string& internal) {
  char* real = ::realpath(ResolvePath(internal.empty() ? "." : internal).c_str(), nullptr);
  if (real == nullptr) return std::nullopt;
  std::string path = ToInternalPath(real);
  std::free(real);
  return path;
}

bool PathExists(const std::string& internal) {
  struct stat info;
  return ::lstat(ResolvePath(internal).c_str(), &info) == 0;
}

bool SyncFolder(const std::string& internal) {
  const std::string native = ResolvePath(internal.empty() ? "." : internal);
  const int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

bool MakeDirectory(const std::string& internal) {
  return ::mkdir(ResolvePath(internal).c_str(), 0777) == 0;
}

bool ListDirectory(const std::string& internal, std::vector<DirectoryItem>* items,
                   bool with_folder_links) {
  std::error_code error;
  std::filesystem::directory_iterator it(ResolvePath(internal), error);
  if (error) return false;
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    std::error_code kind_error;
    const bool folder = it->is_directory(kind_error);
    const bool link = it->is_symlink(kind_error);
    // Pipes, sockets and devices hold no file contents; opening a pipe would block. A link to a
    // folder is not entered: it may lead back up the tree and list the same files for ever.
    if (!folder && !it->is_regular_file(kind_error)) continue;
    if (folder && link && !with_folder_links) continue;
    items->push_back({it->path().filename().string(), folder, link});
  }
  return !error;
}

}  // namespace platform
