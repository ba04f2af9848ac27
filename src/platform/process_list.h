// The processes running on the machine, identified by the file of their main module.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct ProcessInfo {
  int id;
  // The main module's full path in the system's internal form.
  std::string module;
  // When the process started, in the system's clock ticks since boot: only the order matters.
  std::uint64_t start_time;
};

// Every process whose main module this process may read; processes of other users whose module
// cannot be read, and processes that have ended but not been collected, are left out.
std::vector<ProcessInfo> ListProcesses();

int CurrentProcessId();
// The process that started this one (0 when the system does not tell).
int ParentProcessId();
// The start time of this process, comparable with ProcessInfo::start_time.
std::uint64_t CurrentProcessStartTime();

// The path that a process started from the file `internal` reports as its main module: absolute,
// with "." and ".." resolved and the letter case of the names on disk.
std::string ModulePathOf(const std::string& internal);

// Waits until process `id` has ended, at most timeout_ms milliseconds (negative: no limit). True
// when it has ended (or never ran), false when the time ran out.
bool WaitForProcessExit(int id, int timeout_ms);

}  // namespace platform
