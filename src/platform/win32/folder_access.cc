#include "platform/folder_access.h"

#include <windows.h>

#include <string>

#include "platform/file.h"
#include "platform/native_handle.h"
#include "platform/win32/wide.h"

namespace platform {
namespace {

bool OnReadOnlyVolume(const std::wstring& folder) {
  wchar_t volume[MAX_PATH + 1];
  DWORD flags = 0;
  return GetVolumePathNameW(folder.c_str(), volume, MAX_PATH + 1) &&
         GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
         (flags & FILE_READ_ONLY_VOLUME) != 0;
}

// Access rights on Windows are lists of grants that only the system can weigh: a file created
// and removed again is the one answer that cannot be wrong.
bool CanCreateFileIn(const std::wstring& folder) {
  const std::wstring probe = folder + L"\\.write-probe-" + std::to_wstring(GetCurrentProcessId()) +
                             L"-" + std::to_wstring(GetCurrentThreadId()) + L".tmp";
  return NativeHandle(CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr))
      .Valid();
}

}  // namespace

// The read-only attribute of a folder is one that the system itself ignores, but a folder made
// read-only counts as such here, as on Linux.
bool IsFolderWritable(const std::string& internal) {
  const std::wstring folder = Wide(ResolvePath(internal.empty() ? "." : internal));
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return false;
  }
  return !OnReadOnlyVolume(folder) && CanCreateFileIn(folder);
}

std::optional<std::uint64_t> FreeBytesOf(const std::string& internal) {
  ULARGE_INTEGER available;
  const std::wstring folder = Wide(ResolvePath(internal.empty() ? "." : internal));
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return available.QuadPart;
}

std::string VolumeOf(const std::string& internal) {
  const std::string full = GetFullPath(internal.empty() ? "." : internal);
  wchar_t volume[MAX_PATH + 1];
  if (!GetVolumePathNameW(Wide(ResolvePath(full)).c_str(), volume, MAX_PATH + 1)) return full;
  return Narrow(volume);
}

}  // namespace platform
