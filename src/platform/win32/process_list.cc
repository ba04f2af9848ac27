// Processes from a Toolhelp snapshot; each one's main module through psapi.dll, which is loaded at
// run time (older systems keep those calls there, newer ones in kernel32 as well).
#include "platform/process_list.h"

#include <windows.h>
// After windows.h, which defines its types.
#include <tlhelp32.h>

#include <string>

#include "platform/file.h"
#include "platform/native_handle.h"
#include "platform/path.h"
#include "platform/win32/wide.h"

namespace platform {
namespace {

using EnumProcessModulesCall = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*);
using GetModuleFileNameExCall = DWORD(WINAPI*)(HANDLE, HMODULE, LPSTR, DWORD);

struct Psapi {
  EnumProcessModulesCall enum_modules = nullptr;
  GetModuleFileNameExCall module_name = nullptr;
};

const Psapi& LoadPsapi() {
  static const Psapi psapi = [] {
    Psapi calls;
    if (const HMODULE library = LoadLibraryA("psapi.dll")) {
      calls.enum_modules = reinterpret_cast<EnumProcessModulesCall>(
          reinterpret_cast<void*>(GetProcAddress(library, "EnumProcessModules")));
      calls.module_name = reinterpret_cast<GetModuleFileNameExCall>(
          reinterpret_cast<void*>(GetProcAddress(library, "GetModuleFileNameExA")));
    }
    return calls;
  }();
  return psapi;
}

// A path as the system spells it on disk: letter case of every name, no "." or "..". Paths that
// cannot be opened keep their full form.
std::string CanonicalPath(const std::string& native) {
  return RealPath(native).value_or(GetFullPath(native));
}

// The main module of a process, or empty when this process may not read it.
std::string ModuleOf(DWORD id) {
  const Psapi& psapi = LoadPsapi();
  if (psapi.enum_modules == nullptr || psapi.module_name == nullptr) return {};
  const NativeHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id));
  if (!process.Valid()) return {};
  HMODULE main_module = nullptr;
  DWORD needed = 0;
  char name[MAX_PATH * 4] = {};
  DWORD length = 0;
  if (psapi.enum_modules(process.Get(), &main_module, sizeof main_module, &needed) && needed > 0) {
    length = psapi.module_name(process.Get(), main_module, name, sizeof name);
  }
  return length == 0 ? std::string() : CanonicalPath(std::string(name, length));
}

// Creation time in 100 ns steps; 0 when the process cannot be asked.
std::uint64_t StartTimeOf(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

std::uint64_t StartTimeOf(DWORD id) {
  const NativeHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
  return process.Valid() ? StartTimeOf(process.Get()) : 0;
}

template <typename Visit>
void ForEachProcess(Visit visit) {
  // The visit may throw: the snapshot goes with it.
  const NativeHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.Valid()) return;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot.Get(), &entry); more;
       more = Process32Next(snapshot.Get(), &entry)) {
    visit(entry);
  }
}

}  // namespace

std::vector<ProcessInfo> ListProcesses() {
  std::vector<ProcessInfo> processes;
  ForEachProcess([&](const PROCESSENTRY32& entry) {
    std::string module = ModuleOf(entry.th32ProcessID);
    if (module.empty()) return;
    processes.push_back({static_cast<int>(entry.th32ProcessID), std::move(module),
                         StartTimeOf(entry.th32ProcessID)});
  });
  return processes;
}

int CurrentProcessId() { return static_cast<int>(GetCurrentProcessId()); }

int ParentProcessId() {
  const DWORD self = GetCurrentProcessId();
  int parent = 0;
  ForEachProcess([&](const PROCESSENTRY32& entry) {
    if (entry.th32ProcessID == self) parent = static_cast<int>(entry.th32ParentProcessID);
  });
  return parent;
}

std::uint64_t CurrentProcessStartTime() { return StartTimeOf(GetCurrentProcess()); }

std::string ModulePathOf(const std::string& internal) {
  return CanonicalPath(ResolvePath(internal));
}

bool WaitForProcessExit(int id, int timeout_ms) {
  const NativeHandle process(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id)));
  // A process that cannot be opened has ended, unless only the right to wait for it is missing.
  if (!process.Valid()) return GetLastError() != ERROR_ACCESS_DENIED;
  const DWORD result = WaitForSingleObject(
      process.Get(), timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
  return result != WAIT_TIMEOUT;
}

}  // namespace platform
