// Paths and folders over the wide Win32 calls.
#include "platform/file.h"

#include <windows.h>

#include "platform/native_file.h"
#include "platform/path.h"
#include "platform/win32/wide.h"

namespace platform {

// The file system finds names without regard to case by itself.
std::string ResolvePath(const std::string& internal) { return ToNativePath(internal); }

std::string GetFullPath(const std::string& internal) {
  const std::wstring path = Wide(ToNativePath(internal.empty() ? "." : internal));
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return internal;
  full.resize(length);
  return ToInternalPath(Narrow(full));
}

std::optional<std::string> RealPath(const std::string& internal) {
  const NativeHandle file(CreateFileW(Wide(GetFullPath(internal)).c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.Valid()) return std::nullopt;
  wchar_t buffer[32768];
  const DWORD length = GetFinalPathNameByHandleW(file.Get(), buffer, 32768, FILE_NAME_NORMALIZED);
  if (length == 0 || length >= 32768) return std::nullopt;
  std::wstring path(buffer, length);
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    path = L"\\" + path.substr(7);
  } else if (path.rfind(L"\\\\?\\", 0) == 0) {
    path = path.substr(4);
  }
  return ToInternalPath(Narrow(path));
}

bool SetCurrentFolder(const std::string& internal) {
  return SetCurrentDirectoryW(Wide(ResolvePath(internal)).c_str()) != 0;
}

bool PathExists(const std::string& internal) {
  return GetFileAttributesW(Wide(ResolvePath(internal)).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// NTFS journals its folders, and renames go through MoveFileEx with MOVEFILE_WRITE_THROUGH; a
// folder handle cannot be flushed without administrator rights. What is left is to check that the
// folder is there.
bool SyncFolder(const std::string& internal) {
  return native::KindOf(ResolvePath(internal.empty() ? "." : internal)) == native::Kind::kFolder;
}

bool MakeDirectory(const std::string& internal) {
  return CreateDirectoryW(Wide(ResolvePath(internal)).c_str(), nullptr) != 0;
}

bool ListDirectory(const std::string& internal, std::vector<DirectoryItem>* items,
                   bool with_folder_links) {
  const std::string folder = ResolvePath(internal.empty() ? "." : internal);
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileExW(Wide(native::Join(folder, "*")).c_str(), FindExInfoBasic,
                                         &entry, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    const std::string name = Narrow(entry.cFileName);
    const bool is_folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool is_link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (name == "." || name == "..") continue;
    // A link to a folder is not entered: it may lead back up the tree and list the same files for
    // ever.
    if (is_folder && is_link && !with_folder_links) continue;
    items->push_back({name, is_folder, is_link});
  } while (FindNextFileW(search, &entry));
  const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(search);
  return complete;
}

}  // namespace platform
