#include "platform/folder_access.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/file.h"
#include "platform/path.h"

namespace platform {

bool IsFolderWritable(const std::string& internal) {
  const std::string native = ResolvePath(internal);
  struct stat info;
  struct statvfs volume;
  if (::stat(native.c_str(), &info) != 0 || ::statvfs(native.c_str(), &volume) != 0) return false;
  if ((volume.f_flag & ST_RDONLY) != 0) return false;
  if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
  return ::access(native.c_str(), W_OK) == 0;
}

std::optional<std::uint64_t> FreeBytesOf(const std::string& internal) {
  struct statvfs volume;
  if (::statvfs(ResolvePath(internal).c_str(), &volume) != 0) return std::nullopt;
  // The blocks kept for the superuser are not the player's to count on.
  return static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
}

// The mount point is the highest folder above that is still on the same device.
std::string VolumeOf(const std::string& internal) {
  const std::string full = ToNativePath(GetFullPath(internal));
  struct stat info;
  if (::stat(full.c_str(), &info) != 0) return full;
  std::string volume = full;
  while (volume.size() > 1) {
    const std::size_t slash = volume.find_last_of('/');
    const std::string parent = slash == 0 ? "/" : volume.substr(0, slash);
    struct stat above;
    if (::stat(parent.c_str(), &above) != 0 || above.st_dev != info.st_dev) break;
    volume = parent;
  }
  return volume;
}

}  // namespace platform
