#include "platform/file_stamp.h"

#include <windows.h>

#include "platform/file.h"
#include "platform/win32/wide.h"

namespace platform {
namespace {

// File times count 100 ns steps from 1601; as nanoseconds from 1970 they fit in 64 bits.
constexpr std::int64_t kEpochDifference = 116444736000000000;

std::int64_t Nanoseconds(std::int64_t file_time) { return (file_time - kEpochDifference) * 100; }

std::optional<FileStamp> StampOfHandle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO times;
  if (!GetFileInformationByHandle(handle, &info) ||
      !GetFileInformationByHandleEx(handle, FileBasicInfo, &times, sizeof times)) {
    return std::nullopt;
  }
  FileStamp stamp;
  stamp.size = (static_cast<std::int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  stamp.modified_ns = Nanoseconds(times.LastWriteTime.QuadPart);
  stamp.changed_ns = Nanoseconds(times.ChangeTime.QuadPart);
  stamp.device = info.dwVolumeSerialNumber;
  stamp.file_id = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return stamp;
}

bool IsPlainFile(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

std::optional<FileStamp> StampOf(const std::string& internal) {
  if (IsSpecialFile(internal)) return std::nullopt;
  // Attributes only: a stamp is taken of files that others hold open for writing too.
  const NativeHandle handle(CreateFileW(Wide(ResolvePath(internal)).c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                        nullptr));
  if (!handle.Valid()) return std::nullopt;
  return StampOfHandle(handle.Get());
}

std::int64_t FileClockNow() {
  // The precise clock came with Windows 8; looked up at run time, so that the program still starts
  // on Windows 7, where the coarser clock (a tick of up to 16 ms) stands in.
  using Clock = void(WINAPI*)(LPFILETIME);
  static const Clock clock = [] {
    const FARPROC precise =
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime");
    return precise != nullptr ? reinterpret_cast<Clock>(reinterpret_cast<void*>(precise))
                              : &GetSystemTimeAsFileTime;
  }();
  FILETIME now;
  clock(&now);
  return Nanoseconds((static_cast<std::int64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

SequentialOpen SequentialFile::Open(const std::string& internal) {
  Close();
  // Looked at before opening: opening a device acts on it.
  if (IsSpecialFile(internal) || IsDirectory(internal)) return SequentialOpen::kNotRegular;
  // Shared with readers only: a writer that holds the file refuses the open, as one that comes
  // later is refused while it is open.
  file_.Reset(CreateFileW(Wide(ResolvePath(internal)).c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file_.Valid()) return SequentialOpen::kFailed;
  const HANDLE handle = file_.Get();
  // The name may have been given to something else in between.
  if (!IsPlainFile(handle)) {
    Close();
    return SequentialOpen::kNotRegular;
  }
  const std::optional<FileStamp> stamp = StampOfHandle(handle);
  if (!stamp) {
    Close();
    return SequentialOpen::kFailed;
  }
  stamp_ = *stamp;
  return SequentialOpen::kOpened;
}

}  // namespace platform
