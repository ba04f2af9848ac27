#include "platform/posix/folder_names.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

#include "platform/native_handle.h"
#include "platform/text.h"

namespace platform {
namespace {

constexpr std::uint32_t kEntryChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

// One folder's names: each lower-case form, with the first name of that form and how many have it
// (two names that differ only in case can stand side by side on Linux).
struct Names {
  dev_t device = 0;
  ino_t inode = 0;
  struct Variants {
    std::string first;
    int count = 0;
  };
  std::unordered_map<std::string, Variants> by_lower;
  bool complete = true;  // false once a removal left it unable to tell the first name
};

std::optional<struct stat> FolderStat(const std::string& folder) {
  struct stat info;
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
  return info;
}

void Add(Names& names, const std::string& name) {
  Names::Variants& variants = names.by_lower[ToLowerAnsi(name)];
  if (variants.count++ == 0) variants.first = name;
}

void Drop(Names& names, const std::string& name) {
  const auto it = names.by_lower.find(ToLowerAnsi(name));
  if (it == names.by_lower.end()) return;
  if (--it->second.count == 0) {
    names.by_lower.erase(it);
  } else if (it->second.first == name) {
    names.complete = false;  // which of the others the system lists first is not known here
  }
}

bool List(const std::string& folder, Names& names) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return false;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") Add(names, name);
  }
  ::closedir(dir);
  return true;
}

class FolderNames {
 public:
  std::string Match(const std::string& folder, const std::string& name) {
    std::lock_guard<std::mutex> hold(lock_);
    ApplyChanges();
    const std::optional<struct stat> info = FolderStat(folder);
    if (!info) return name;
    const Names* names = Kept(folder, *info);
    Names listed;
    if (names == nullptr) {
      if (!List(folder, listed)) return name;
      names = &listed;
    }
    const auto it = names->by_lower.find(ToLowerAnsi(name));
    return it == names->by_lower.end() ? name : it->second.first;
  }

 private:
  static constexpr std::size_t kFolders = 64;

  // The kept names of folder, listed and watched now when they were not; null when they cannot be
  // kept.
  const Names* Kept(const std::string& folder, const struct stat& info) {
    const auto known = watch_of_.find(folder);
    if (known != watch_of_.end()) {
      const auto it = names_.find(known->second);
      if (it != names_.end() && it->second.complete && it->second.device == info.st_dev &&
          it->second.inode == info.st_ino) {
        return &it->second;
      }
    }
    if (!notify_.Valid()) return nullptr;
    const int watch =
        ::inotify_add_watch(notify_.Get(), folder.c_str(), kEntryChanges | IN_ONLYDIR);
    if (watch < 0) return nullptr;
    // Watched before it is listed: a change made meanwhile is queued, and applying it again to a
    // listing that has it already changes nothing.
    Names names;
    names.device = info.st_dev;
    names.inode = info.st_ino;
    const std::optional<struct stat> after = FolderStat(folder);
    if (!List(folder, names) || !after || after->st_ino != info.st_ino) return nullptr;
    Remember(folder, watch);
    return &(names_[watch] = std::move(names));
  }

  void Remember(const std::string& folder, int watch) {
    const auto [it, added] = watch_of_.try_emplace(folder, watch);
    if (added) {
      order_.push_back(folder);
    } else if (it->second != watch) {
      Release(std::exchange(it->second, watch));  // the path leads to another folder now
    }
    if (order_.size() <= kFolders) return;
    const int oldest = watch_of_[order_.front()];
    watch_of_.erase(order_.front());
    order_.pop_front();
    Release(oldest);
  }

  // Stops watching unless another form of the same folder's path still uses the watch.
  void Release(int watch) {
    for (const auto& [path, other] : watch_of_) {
      if (other == watch) return;
    }
    names_.erase(watch);
    ::inotify_rm_watch(notify_.Get(), watch);
  }

  // Applies what the kernel queued since the last use.
  void ApplyChanges() {
    if (!notify_.Valid()) return;
    alignas(inotify_event) char buffer[16384];
    for (;;) {
      const ssize_t length = ::read(notify_.Get(), buffer, sizeof buffer);
      if (length <= 0) return;
      for (ssize_t at = 0; at < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        Apply(*event);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

  void Apply(const inotify_event& event) {
    if ((event.mask & IN_Q_OVERFLOW) != 0) {
      names_.clear();  // changes were lost: every folder is listed again
      return;
    }
    const auto it = names_.find(event.wd);
    if (it == names_.end()) return;
    if ((event.mask & IN_IGNORED) != 0) {
      names_.erase(it);  // the folder went, or its file system
    } else if ((event.mask & (IN_CREATE | IN_MOVED_TO)) != 0 && event.len > 0) {
      Add(it->second, event.name);
    } else if ((event.mask & (IN_DELETE | IN_MOVED_FROM)) != 0 && event.len > 0) {
      Drop(it->second, event.name);
    }
  }

  std::mutex lock_;
  NativeHandle notify_{::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)};
  std::unordered_map<std::string, int> watch_of_;  // folder as asked: its watch
  std::deque<std::string> order_;                  // the folders of watch_of_, oldest first
  std::unordered_map<int, Names> names_;           // by watch
};

}  // namespace

std::string MatchWithoutCase(const std::string& folder, const std::string& name) {
  static FolderNames names;
  return names.Match(folder.empty() ? "." : folder, name);
}

}  // namespace platform
