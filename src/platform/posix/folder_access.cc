#include "platform/folder_access.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/file.h"

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

}  // namespace platform
