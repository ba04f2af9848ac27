#include "platform/file_move.h"

#include <stdio.h>
#include <sys/stat.h>

#include "platform/file.h"

namespace platform {

bool MoveFileReplacing(const std::string& source, const std::string& destination) {
  const std::string from = ResolvePath(source);
  const std::string to = ResolvePath(destination);
  struct stat old_file;
  struct stat new_file;
  if (::stat(from.c_str(), &new_file) != 0) return false;
  const bool replacing = ::stat(to.c_str(), &old_file) == 0;
  if (replacing && ::chmod(from.c_str(), old_file.st_mode & 07777) != 0) return false;
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  if (replacing) ::chmod(from.c_str(), new_file.st_mode & 07777);
  return false;
}

}  // namespace platform
