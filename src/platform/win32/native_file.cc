// The file system calls over the wide Win32 functions. Sharing modes are the system's own: a file
// opened with Share::kDenyWrite refuses (and is refused by) every writer, whichever code opened it.
#include "platform/native_file.h"

#include <windows.h>

#include <algorithm>

#include "platform/text.h"
#include "platform/win32/wide.h"

namespace platform {

void NativeHandle::Close(Raw raw) { CloseHandle(raw); }

namespace native {
namespace {

// The one place where the system's error codes become open errors.
OpenError ErrorFromSystem(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return OpenError::kDenied;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return OpenError::kExists;
    default:
      return OpenError::kOther;
  }
}

DWORD AccessFlags(Access access) {
  return access == Access::kRead    ? GENERIC_READ
         : access == Access::kWrite ? GENERIC_WRITE
                                    : GENERIC_READ | GENERIC_WRITE;
}

DWORD CreationFlags(Disposition disposition) {
  switch (disposition) {
    case Disposition::kOpenExisting:
      return OPEN_EXISTING;
    case Disposition::kCreateAlways:
      return CREATE_ALWAYS;
    case Disposition::kCreateNew:
      return CREATE_NEW;
    case Disposition::kOpenAlways:
      return OPEN_ALWAYS;
  }
  return OPEN_EXISTING;
}

// Others may always delete or rename a file we hold, as they may on Linux; writing is what a
// denying share refuses.
DWORD ShareFlags(Share share) {
  return share == Share::kDenyWrite ? FILE_SHARE_READ | FILE_SHARE_DELETE
                                    : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
}

// The names that the system gives to devices in every folder ("CON", "nul.txt", "COM1"), and
// "\\.\" paths: none of them is a file.
bool NamesDevice(const std::string& path) {
  if (path.rfind("\\\\.\\", 0) == 0) return true;
  std::string name = path.substr(path.find_last_of("\\:") + 1);
  name = ToUpperAnsi(name.substr(0, name.find('.')));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (name == device) return true;
  }
  return name.size() == 4 && (name.rfind("COM", 0) == 0 || name.rfind("LPT", 0) == 0) &&
         name[3] >= '1' && name[3] <= '9';
}

// A file of its own, not a folder nor a link (a reparse point), by the attributes the system gives.
bool IsPlainFile(DWORD attributes) {
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

DWORD Chunk(std::size_t count) {
  // What one ReadFile or WriteFile takes.
  return static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
}

}  // namespace

Kind KindOf(const std::string& path) {
  if (NamesDevice(path)) return Kind::kSpecial;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) {
    return Kind::kNothing;
  }
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A link: what it leads to decides.
    const NativeHandle target(
        CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!target.Valid() || !GetFileInformationByHandle(target.Get(), &info)) return Kind::kNothing;
    data.dwFileAttributes = info.dwFileAttributes;
  }
  return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::kFolder : Kind::kFile;
}

NativeHandle Open(const std::string& path, Access access, Share share, Disposition disposition,
                  OpenError& error) {
  // Looked at first: opening a device acts on it, and a folder is refused as "denied".
  const Kind kind = KindOf(path);
  error = OpenError::kOther;
  if (kind == Kind::kSpecial || kind == Kind::kFolder) return {};
  NativeHandle file(CreateFileW(Wide(path).c_str(), AccessFlags(access), ShareFlags(share), nullptr,
                                CreationFlags(disposition), FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    error = ErrorFromSystem(GetLastError());
    return {};
  }
  if (GetFileType(file.Get()) != FILE_TYPE_DISK) return {};
  error = OpenError::kNone;
  return file;
}

NativeHandle CreateNew(const std::string& path, bool& exists) {
  NativeHandle file(CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  exists = !file.Valid() && GetLastError() == ERROR_FILE_EXISTS;
  return file;
}

NativeHandle OpenPlain(const std::string& path, bool& foreign) {
  // A link under the name is opened itself, not followed, and refused below: the bytes must never
  // go where it leads. A file of more than one name (a hard link) is another's file too.
  NativeHandle file(CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  foreign = file.Valid() && (GetFileType(file.Get()) != FILE_TYPE_DISK ||
                             !GetFileInformationByHandle(file.Get(), &info) ||
                             !IsPlainFile(info.dwFileAttributes) || info.nNumberOfLinks != 1);
  if (foreign) file.Reset();
  return file;
}

std::int64_t ReadSome(const NativeHandle& file, void* buffer, std::size_t count) {
  DWORD got = 0;
  return ReadFile(file.Get(), buffer, Chunk(count), &got, nullptr) ? got : -1;
}

std::int64_t WriteSome(const NativeHandle& file, const void* bytes, std::size_t count) {
  DWORD written = 0;
  return WriteFile(file.Get(), bytes, Chunk(count), &written, nullptr) ? written : -1;
}

std::int64_t Seek(const NativeHandle& file, std::int64_t offset, SeekFrom from) {
  const DWORD method = from == SeekFrom::kStart     ? FILE_BEGIN
                       : from == SeekFrom::kCurrent ? FILE_CURRENT
                                                    : FILE_END;
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER position;
  return SetFilePointerEx(file.Get(), distance, &position, method) ? position.QuadPart : -1;
}

std::int64_t Length(const NativeHandle& file) {
  LARGE_INTEGER size;
  return GetFileSizeEx(file.Get(), &size) ? size.QuadPart : -1;
}

bool Sync(const NativeHandle& file) { return FlushFileBuffers(file.Get()) != 0; }

// Windows flushes one file at a time.
bool SyncAll(const std::vector<const NativeHandle*>& files) {
  return std::all_of(files.begin(), files.end(),
                     [](const NativeHandle* file) { return Sync(*file); });
}

// The system sets a file's end where its position stands.
bool Truncate(const NativeHandle& file, std::uint64_t length) {
  const auto position = static_cast<std::int64_t>(length);
  return Seek(file, position, SeekFrom::kStart) == position && SetEndOfFile(file.Get()) != 0;
}

// The system writes a file out at its own pace, and has no call that only starts it; a commit's
// flush waits for what is left.
void StartWriteOut(const NativeHandle&, std::uint64_t, std::uint64_t) {}

// Files carry no permission bits to pass on.
bool TakeModeOf(const NativeHandle&, const std::string&) { return true; }

bool RenameOver(const std::string& from, const std::string& target) {
  return MoveFileExW(Wide(from).c_str(), Wide(target).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool Remove(const std::string& path) { return DeleteFileW(Wide(path).c_str()) != 0; }

bool IsPlainOrAbsent(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return !NamesDevice(path) && (attributes == INVALID_FILE_ATTRIBUTES || IsPlainFile(attributes));
}

}  // namespace native
}  // namespace platform
