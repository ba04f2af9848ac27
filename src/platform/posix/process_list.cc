#include "platform/process_list.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/file.h"
#include "platform/native_handle.h"
#include "platform/path.h"

namespace platform {
namespace {

// A descriptor that becomes readable when the process ends; none where the system lacks pidfd.
NativeHandle ProcessDescriptor(int id) {
#ifdef SYS_pidfd_open
  return NativeHandle(static_cast<int>(::syscall(SYS_pidfd_open, id, 0)));
#else
  (void)id;
  return {};
#endif
}

// The main module of a live process; empty when it cannot be read or the process is a zombie.
std::string ModuleOf(const std::string& proc_entry) {
  std::error_code error;
  std::string target = std::filesystem::read_symlink(proc_entry + "/exe", error).string();
  if (error) return {};
  // A module replaced or removed while the process runs still is the file it was started from.
  static const std::string kDeleted = " (deleted)";
  if (target.size() > kDeleted.size() &&
      target.compare(target.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
    target.resize(target.size() - kDeleted.size());
  }
  return ToInternalPath(target);
}

// Field 22 of /proc/<id>/stat (after the command name, which may itself hold blanks).
std::uint64_t StartTimeOf(const std::string& proc_entry) {
  std::ifstream file(proc_entry + "/stat");
  std::string line;
  std::getline(file, line);
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  for (int index = 3; index < 22 && fields >> field; ++index) {
  }
  std::uint64_t start = 0;
  fields >> start;
  return start;
}

bool IsRunning(int id) { return !ModuleOf("/proc/" + std::to_string(id)).empty(); }

}  // namespace

std::vector<ProcessInfo> ListProcesses() {
  std::vector<ProcessInfo> processes;
  std::error_code error;
  for (const auto& item : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = item.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string entry = item.path().string();
    std::string module = ModuleOf(entry);
    if (module.empty()) continue;
    processes.push_back({std::stoi(name), std::move(module), StartTimeOf(entry)});
  }
  return processes;
}

int CurrentProcessId() { return static_cast<int>(::getpid()); }

int ParentProcessId() { return static_cast<int>(::getppid()); }

std::uint64_t CurrentProcessStartTime() { return StartTimeOf("/proc/self"); }

std::string ModulePathOf(const std::string& internal) {
  return ToInternalPath(ResolvePath(GetFullPath(internal)));
}

bool WaitForProcessExit(int id, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  const NativeHandle process = ProcessDescriptor(id);
  // A process that has ended but was not collected by its parent counts as ended; pidfd reports
  // that too, and the fallback below reads it from /proc.
  while (IsRunning(id)) {
    int wait = 50;
    if (timeout_ms >= 0) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      wait = static_cast<int>(std::min<long long>(left.count(), 50));
    }
    if (process.Valid()) {
      pollfd ready{process.Get(), POLLIN, 0};
      if (::poll(&ready, 1, timeout_ms < 0 ? -1 : wait) > 0) return true;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    }
  }
  return true;
}

}  // namespace platform
