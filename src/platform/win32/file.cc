// Files over the wide Win32 calls. Sharing modes are the system's own: a File opened with
// Share::kDenyWrite refuses (and is refused by) every writer, whichever code opened the file.
#include "platform/file.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string_view>

#include "platform/file_faults.h"
#include "platform/path.h"
#include "platform/replacement_name.h"
#include "platform/win32/handle.h"
#include "platform/win32/wide.h"

namespace platform {
namespace {

// Set only by the tests' fault-injection library.
std::atomic<FileFaults*> file_faults{nullptr};

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

bool WriteSome(HANDLE handle, const char* data, std::size_t count, DWORD& written) {
  if (FileFaults* faults = file_faults.load()) {
    count = faults->WritableBytes(count);
    if (count == 0) {
      SetLastError(ERROR_DISK_FULL);
      return false;
    }
  }
  const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
  return WriteFile(handle, data, chunk, &written, nullptr) != 0;
}

bool ReplaceFails() {
  FileFaults* faults = file_faults.load();
  return faults != nullptr && faults->ReplaceFails();
}

// The names that the system gives to devices in every folder ("CON", "nul.txt", "COM1"), and
// "\\.\" paths: none of them is a file.
bool NamesDevice(const std::string& native) {
  if (native.rfind("\\\\.\\", 0) == 0) return true;
  std::string name = native.substr(native.find_last_of("\\:") + 1);
  name = ToUpperAnsi(name.substr(0, name.find('.')));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (name == device) return true;
  }
  return name.size() == 4 && (name.rfind("COM", 0) == 0 || name.rfind("LPT", 0) == 0) &&
         name[3] >= '1' && name[3] <= '9';
}

enum class Kind { kNothing, kFile, kFolder, kDevice };

// What stands at a path, links followed.
Kind KindOf(const std::string& native) {
  if (NamesDevice(native)) return Kind::kDevice;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Wide(native).c_str(), GetFileExInfoStandard, &data)) {
    return Kind::kNothing;
  }
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A link: what it leads to decides.
    const UniqueHandle target(
        CreateFileW(Wide(native).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!target.Valid() || !GetFileInformationByHandle(target.Get(), &info)) return Kind::kNothing;
    data.dwFileAttributes = info.dwFileAttributes;
  }
  return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::kFolder : Kind::kFile;
}

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '\\' ? folder + name : folder + "\\" + name;
}

std::string ParentOf(const std::string& native) {
  const std::size_t slash = native.find_last_of('\\');
  return slash == std::string::npos ? std::string() : native.substr(0, slash);
}

std::string NameOf(const std::string& native) {
  return native.substr(native.find_last_of('\\') + 1);
}

// A file of its own, not a folder nor a link (a reparse point), by the attributes the system gives.
bool IsPlainFile(DWORD attributes) {
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// A process that cannot be opened for lack of rights still runs; one that cannot be opened at all
// has ended.
bool ProcessRuns(DWORD id) {
  const UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
  if (!process.Valid()) return GetLastError() == ERROR_ACCESS_DENIED;
  return WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT;
}

}  // namespace

File::~File() { Close(); }

OpenError File::Open(const std::string& path, Access access, Share share, Disposition disposition) {
  Close();
  const std::string native = ResolvePath(path);
  // Looked at first: opening a device acts on it, and a folder is refused as "denied".
  const Kind kind = KindOf(native);
  if (kind == Kind::kDevice || kind == Kind::kFolder) return OpenError::kOther;
  const HANDLE handle =
      CreateFileW(Wide(native).c_str(), AccessFlags(access), ShareFlags(share), nullptr,
                  CreationFlags(disposition), FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return ErrorFromSystem(GetLastError());
  fd_ = HandleToInt(handle);
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    Close();
    return OpenError::kOther;
  }
  return OpenError::kNone;
}

void File::Close() {
  if (fd_ >= 0) CloseHandle(IntToHandle(fd_));
  fd_ = -1;
}

std::int64_t File::Read(void* buffer, std::size_t count) {
  if (fd_ < 0) return -1;
  std::size_t done = 0;
  // What came in before a failure is handed out; the next read reports the failure.
  const bool read = ReadUpTo(IntToHandle(fd_), buffer, count, done);
  return read || done > 0 ? static_cast<std::int64_t>(done) : -1;
}

std::size_t File::Write(const void* buffer, std::size_t count) {
  if (fd_ < 0) return 0;
  std::size_t done = 0;
  while (done < count) {
    DWORD written = 0;
    if (!WriteSome(IntToHandle(fd_), static_cast<const char*>(buffer) + done, count - done,
                   written) ||
        written == 0) {
      break;
    }
    done += written;
  }
  return done;
}

std::int64_t File::Seek(std::int64_t offset, SeekFrom from) {
  if (fd_ < 0) return -1;
  const DWORD method = from == SeekFrom::kStart     ? FILE_BEGIN
                       : from == SeekFrom::kCurrent ? FILE_CURRENT
                                                    : FILE_END;
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER position;
  if (!SetFilePointerEx(IntToHandle(fd_), distance, &position, method)) return -1;
  return position.QuadPart;
}

std::int64_t File::Tell() const {
  if (fd_ < 0) return -1;
  LARGE_INTEGER zero{};
  LARGE_INTEGER position;
  return SetFilePointerEx(IntToHandle(fd_), zero, &position, FILE_CURRENT) ? position.QuadPart : -1;
}

std::int64_t File::Length() const {
  LARGE_INTEGER size;
  if (fd_ < 0 || !GetFileSizeEx(IntToHandle(fd_), &size)) return -1;
  return size.QuadPart;
}

bool File::Sync() { return fd_ >= 0 && FlushFileBuffers(IntToHandle(fd_)) != 0; }

// Flushed before the rename: after a power loss the name must not lead to unwritten bytes. Closed
// before it, as the file is open without delete sharing.
bool File::MoveInPlace(const std::string& from, const std::string& target) {
  if (ReplaceFails() || !Sync()) return false;
  Close();
  return MoveFileExW(Wide(from).c_str(), Wide(target).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void File::CloseAndRemove(std::string& name) {
  Close();
  if (!name.empty()) DeleteFileW(Wide(name).c_str());
  name.clear();
}

bool ReplacementFile::Create(const std::string& destination) {
  static std::atomic<unsigned> counter{0};
  Discard();
  written_ = written_out_ = 0;
  target_ = ResolvePath(destination);
  if (KindOf(target_) == Kind::kDevice) return false;
  const std::string folder = ParentOf(target_);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string native = Join(folder, ReplacementName(NameOf(target_), counter.fetch_add(1)));
    const HANDLE handle =
        CreateFileW(Wide(native).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      file_.fd_ = HandleToInt(handle);
      temp_ = native;
      return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

// The system writes the cached bytes out by itself; there is no call that only starts it.
// The system writes a file out at its own pace; a commit's flush waits for what is left.
void File::StartWriteOut(std::uint64_t, std::uint64_t) {}

std::size_t ReplacementFile::Write(const void* buffer, std::size_t count) {
  const std::size_t written = file_.Write(buffer, count);
  written_ += written;
  return written;
}

bool ResumableFile::Open(const std::string& destination) {
  file_.Close();
  part_.clear();
  target_ = ResolvePath(destination);
  const DWORD attributes = GetFileAttributesW(Wide(target_).c_str());
  if (NamesDevice(target_) || (attributes != INVALID_FILE_ATTRIBUTES && !IsPlainFile(attributes))) {
    return false;
  }
  const std::string part = Join(ParentOf(target_), ResumablePartName(NameOf(target_)));
  // A link under the part's name is opened itself, not followed, and refused below: the bytes
  // must never go where it leads.
  const HANDLE handle =
      CreateFileW(Wide(part).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  file_.fd_ = HandleToInt(handle);
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      !IsPlainFile(info.dwFileAttributes) || file_.Seek(0, SeekFrom::kEnd) < 0) {
    file_.Close();
    return false;
  }
  part_ = part;
  return true;
}

// The system sets a file's end where its position stands.
bool ResumableFile::Truncate(std::uint64_t length) {
  const auto position = static_cast<std::int64_t>(length);
  return length <= Length() && file_.Seek(position, SeekFrom::kStart) == position &&
         SetEndOfFile(IntToHandle(file_.fd_)) != 0;
}

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
  const UniqueHandle file(CreateFileW(Wide(GetFullPath(internal)).c_str(), 0,
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

bool IsDirectory(const std::string& internal) {
  return KindOf(ResolvePath(internal)) == Kind::kFolder;
}

bool IsRegularFile(const std::string& internal) {
  return KindOf(ResolvePath(internal)) == Kind::kFile;
}

bool PathExists(const std::string& internal) {
  return GetFileAttributesW(Wide(ResolvePath(internal)).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsSpecialFile(const std::string& internal) {
  return KindOf(ResolvePath(internal)) == Kind::kDevice;
}

// NTFS journals its folders, and renames go through MoveFileEx with MOVEFILE_WRITE_THROUGH; a
// folder handle cannot be flushed without administrator rights. What is left is to check that the
// folder is there.
bool SyncFolder(const std::string& internal) {
  return KindOf(ResolvePath(internal.empty() ? "." : internal)) == Kind::kFolder;
}

int RemoveAbandonedReplacements(const std::string& internal_folder) {
  const std::string folder = ResolvePath(internal_folder.empty() ? "." : internal_folder);
  std::vector<DirectoryItem> items;
  if (!ListDirectory(folder, &items)) return 0;
  int removed = 0;
  for (const DirectoryItem& item : items) {
    const int writer = WriterOfReplacement(item.name);
    if (item.is_directory || writer == 0 || ProcessRuns(writer)) continue;
    if (DeleteFileW(Wide(Join(folder, item.name)).c_str())) ++removed;
  }
  return removed;
}

bool MakeDirectory(const std::string& internal) {
  return CreateDirectoryW(Wide(ResolvePath(internal)).c_str(), nullptr) != 0;
}

bool RemoveFile(const std::string& internal) {
  return DeleteFileW(Wide(ResolvePath(internal)).c_str()) != 0;
}

bool ListDirectory(const std::string& internal, std::vector<DirectoryItem>* items) {
  const std::string folder = ResolvePath(internal.empty() ? "." : internal);
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileExW(Wide(Join(folder, "*")).c_str(), FindExInfoBasic, &entry,
                                         FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    const std::string name = Narrow(entry.cFileName);
    const bool is_folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool is_link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (name == "." || name == "..") continue;
    // A link to a folder is not entered: it may lead back up the tree and list the same files for
    // ever.
    if (is_folder && is_link) continue;
    items->push_back({name, is_folder});
  } while (FindNextFileW(search, &entry));
  const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
  FindClose(search);
  return complete;
}

void SetFileFaults(FileFaults* faults) { file_faults.store(faults); }

}  // namespace platform
