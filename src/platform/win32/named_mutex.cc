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
struct OpenLock {
  std::string name;
  NativeHandle record;  // the holder's process id, shared by every process of the lock
};
struct ProcessLocks {
  std::mutex lock;
  std::map<std::string, HANDLE> held;  // name: the mutex handle that holds it
  std::map<HANDLE, OpenLock> open;     // by mutex handle
};

ProcessLocks& Locks() {
  static ProcessLocks locks;
  return locks;
}

// Takes the mutex unless this process holds the name already through another object; taking it
// again through the same thread only counts up, so any extra count is given back at once.
bool TryTake(HANDLE mutex, const std::string& name, DWORD wait_ms) {
  const DWORD result = WaitForSingleObject(mutex, wait_ms);
  if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) return false;
  std::lock_guard<std::mutex> hold(Locks().lock);
  const auto [holder, taken] = Locks().held.emplace(name, mutex);
  if (taken) return true;
  ReleaseMutex(mutex);
  return holder->second == mutex;
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
  NativeHandle mutex(CreateMutexA(nullptr, FALSE, object.c_str()));
  if (!mutex.Valid()) {
    // Another kind of object under the name; refused for another reason (another user's object,
    // for one), the program runs unguarded.
    return GetLastError() == ERROR_INVALID_HANDLE ? kOtherKind : kCreated;
  }
  NativeHandle record(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                         sizeof(std::uint32_t), (object + "-holder").c_str()));
  lock_ = std::move(mutex);
  {
    std::lock_guard<std::mutex> hold(Locks().lock);
    Locks().open[lock_.Get()] = {object, std::move(record)};
  }
  if (!TryTake(lock_.Get(), object, 0)) return kExists;
  RecordHolder();
  return kCreated;
}

void NamedMutex::Wait() {
  if (!IsOpen()) return;
  std::string object;
  {
    std::lock_guard<std::mutex> hold(Locks().lock);
    object = Locks().open[lock_.Get()].name;
  }
  // In slices: a holder inside this process lets go without the system's knowledge.
  while (!TryTake(lock_.Get(), object, 50))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  RecordHolder();
}

void NamedMutex::Close() {
  if (!IsOpen()) return;
  const HANDLE mutex = lock_.Get();
  {
    std::lock_guard<std::mutex> hold(Locks().lock);
    const auto holder = Locks().held.find(Locks().open[mutex].name);
    if (holder != Locks().held.end() && holder->second == mutex) {
      ReleaseMutex(mutex);
      Locks().held.erase(holder);
    }
    Locks().open.erase(mutex);  // closes the holder record
  }
  lock_.Reset();
}

int NamedMutex::HolderProcessId() const {
  if (!IsOpen()) return 0;
  std::lock_guard<std::mutex> hold(Locks().lock);
  const HANDLE record = Locks().open[lock_.Get()].record.Get();
  std::uint32_t* view = record != nullptr ? HolderView(record) : nullptr;
  if (view == nullptr) return 0;
  const int id = static_cast<int>(*view);
  UnmapViewOfFile(view);
  return id;
}

void NamedMutex::RecordHolder() {
  std::lock_guard<std::mutex> hold(Locks().lock);
  const HANDLE record = Locks().open[lock_.Get()].record.Get();
  std::uint32_t* view = record != nullptr ? HolderView(record) : nullptr;
  if (view == nullptr) return;
  *view = GetCurrentProcessId();
  UnmapViewOfFile(view);
}

}  // namespace platform
