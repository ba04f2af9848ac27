// Filling the directory from disk folders.
#include <string_view>
#include <vector>

#include "base/exception.h"
#include "base/relative_path.h"
#include "platform/file.h"
#include "platform/text.h"
#include "storage/default_file.h"
#include "storage/varne_file_system.h"

namespace {

// Resolves "." and ".." components by name, as the system's path canonicalisation does: ".."
// removes the component before it and is dropped at the start. Leading and trailing backslashes
// are kept.
std::tstring Canonicalize(const std::tstring& path) {
  std::vector<std::string_view> parts;
  for (const std::string_view part : SplitPathComponents(path)) {
    if (part == "..") {
      if (!parts.empty() && !parts.back().empty()) parts.pop_back();
    } else if (part != ".") {
      parts.push_back(part);
    }
  }
  std::tstring result;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) result += '\\';
    result += parts[i];
  }
  const bool trailing = !path.empty() && path.back() == '\\';
  if (trailing) result.AddBackslash();
  return result;
}

std::tstring FolderForm(const std::tstring& folder) {
  std::tstring normal = VarneFileSystem::NormalizeName(folder);
  normal.AddBackslash();
  return Canonicalize(normal);
}

}  // namespace

int VarneFileSystem::LoadDirectory(const std::tstring& folder_name, const std::tstring& base_name) {
  CriticalSectionLock hold(lock_);
  const std::tstring folder = FolderForm(folder_name);
  const std::tstring base = FolderForm(base_name.empty() ? folder_name : base_name);
  std::vector<platform::DirectoryItem> items;
  if (!platform::ListDirectory(folder, &items)) {
    throw VarneFileSystemException("LoadDirectory() FindFirstFile failed.", true);
  }
  for (const platform::DirectoryItem& item : items) {
    if (item.is_directory) {
      LoadDirectory(folder + item.name + "\\", base);
    } else {
      AddFile(folder + item.name, base);
    }
  }
  return 0;
}

// The disk file is opened before the directory changes, so a file that cannot be read leaves the
// directory as it was.
int VarneFileSystem::AddFile(const std::tstring& path_name, const std::tstring& base_name) {
  CriticalSectionLock hold(lock_);
  const std::tstring path = Canonicalize(NormalizeName(path_name));
  const std::tstring base = FolderForm(base_name);
  if (path.compare(0, base.size(), base) != 0) {
    throw VarneFileSystemException("AddFile base-path error.", true);
  }
  const std::tstring key = path.substr(base.size());
  DefaultFile file;
  file.Open((base + key).c_str(), kOpenBinaryReadOnly);
  FileInfoCellEx entry;
  entry.inPackage = false;
  entry.containerPath = base;
  entry.nameLength = static_cast<std::uint32_t>(2 * platform::AnsiToWide(key).size());
  entry.sourceSize = file.GetSize();
  directory_[key] = entry;
  return 0;
}
