// A mutex object of the session's namespace: the system releases it (abandoned) when its holder
// ends, however it ends. The holder's process id sits in a small shared memory section of a
// related name, which lives while any process of the lock has it open.
#include "platform/named_mutex.h"

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

#include "platform/bounded_name.h"
#include "platform/win32/handle.h"

namespace platform {
namespace {

// The object's name is the name itself, so that any program that holds a mutex of that name
// (another tool, an older updater) keeps this one out. A backslash would name a namespace and a
// name past MAX_PATH is refused; only such names, which no caller of the single-instance guard
// makes, are escaped and shortened (a readable head and a hash of the whole), under a prefix of
// their own so that they cannot meet a plain name.
std::string ObjectName(const std::string& name) {
  if (name.find('\\') == std::string::npos && name.size() < MAX_PATH - 8) return name;
  std::string escaped;
  for (const char c : name) {
    if (c == '\\') {
      escaped += "%5C";
    } else if (c == '%') {
      escaped += "%25";
    } else {
      escaped += c;
    }
  }
  return "varne-mutex-" + BoundedName(escaped, name);
}

// A mutex object belongs to the thread that took it, and that thread may take it again; the
// lock is one per process, so the names this process holds are kept here, with the holder
// record of each open lock.
struct ProcessLocks {
  std::mutex lock;
  std::map<std::string, int> held;                     // name: the mutex handle that holds it
  std::map<int, std::pair<std::string, HANDLE>> open;  // mutex handle: name, holder record
};

ProcessLocks& Locks() {
  static ProcessLocks locks;
  return locks;
}

// Takes the mutex unless this process holds the name already through another object; taking it
// again through the same thread only counts up, so any extra count is given back at once.
bool TryTake(int fd, const std::string& name, DWORD wait_ms) {
  const HANDLE mutex = IntToHandle(fd);
  const DWORD result = WaitForSingleObject(mutex, wait_ms);
  if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) return false;
  std::lock_guard<std::mutex> hold(Locks().lock);
  const auto [holder, taken] = Locks().held.emplace(name, fd);
  if (taken) return true;
  ReleaseMutex(mutex);
  return holder->second == fd;
}

std::uint32_t* HolderView(HANDLE record) {
  return static_cast<std::uint32_t*>(
      MapViewOfFile(record, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(std::uint32_t)));
}

}  // namespace

NamedMutex::~NamedMutex() { Close(); }

NamedMutex::Result NamedMutex::Create(const std::string& name) {
  Close();
  const std::string object = ObjectName(name);
  const HANDLE mutex = CreateMutexA(nullptr, FALSE, object.c_str());
  if (mutex == nullptr) {
    // Another kind of object under the name; refused for another reason (another user's object,
    // for one), the program runs unguarded.
    return GetLastError() == ERROR_INVALID_HANDLE ? kOtherKind : kCreated;
  }
  const HANDLE record = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                           sizeof(std::uint32_t), (object + "-holder").c_str());
  fd_ = HandleToInt(mutex);
  {
    std::lock_guard<std::mutex> hold(Locks().lock);
    Locks().open[fd_] = {object, record};
  }
  if (!TryTake(fd_, object, 0)) return kExists;
  RecordHolder();
  return kCreated;
}

void NamedMutex::Wait() {
  if (fd_ < 0) return;
  std::string object;
  {
    std::lock_guard<std::mutex> hold(Locks().lock);
    object = Locks().open[fd_].first;
  }
  // In slices: a holder inside this process lets go without the system's knowledge.
  while (!TryTake(fd_, object, 50)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  RecordHolder();
}

void NamedMutex::Close() {
  if (fd_ < 0) return;
  const HANDLE mutex = IntToHandle(fd_);
  {
    std::lock_guard<std::mutex> hold(Locks().lock);
    const auto [object, record] = Locks().open[fd_];
    const auto holder = Locks().held.find(object);
    if (holder != Locks().held.end() && holder->second == fd_) {
      ReleaseMutex(mutex);
      Locks().held.erase(holder);
    }
    if (record != nullptr) CloseHandle(record);
    Locks().open.erase(fd_);
  }
  CloseHandle(mutex);
  fd_ = -1;
}

int NamedMutex::HolderProcessId() const {
  if (fd_ < 0) return 0;
  std::lock_guard<std::mutex> hold(Locks().lock);
  const HANDLE record = Locks().open[fd_].second;
  std::uint32_t* view = record != nullptr ? HolderView(record) : nullptr;
  if (view == nullptr) return 0;
  const int id = static_cast<int>(*view);
  UnmapViewOfFile(view);
  return id;
}

void NamedMutex::RecordHolder() {
  std::lock_guard<std::mutex> hold(Locks().lock);
  const HANDLE record = Locks().open[fd_].second;
  std::uint32_t* view = record != nullptr ? HolderView(record) : nullptr;
  if (view == nullptr) return;
  *view = GetCurrentProcessId();
  UnmapViewOfFile(view);
}

}  // namespace platform
