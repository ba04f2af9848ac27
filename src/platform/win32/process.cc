#include "platform/process.h"

#include <windows.h>
// The header's function, not the system's macro for GetModuleFileNameA.
#undef GetModuleFileName

#include <vector>

#include "platform/file.h"
#include "platform/path.h"
#include "platform/win32/wide.h"

namespace platform {
namespace {

bool IsAbsolute(const std::string& path) {
  return (path.size() >= 2 && path[1] == ':') || (!path.empty() && path[0] == '\\');
}

// The program file to run; empty for a bare name that is not in the directory, which the system
// then looks for along PATH.
std::string ProgramPath(const std::string& program, const std::string& directory) {
  const std::string native = ToNativePath(program);
  const std::string path = IsAbsolute(native) ? native : directory + "\\" + native;
  for (const std::string& candidate : {path, path + ".exe"}) {
    if (IsRegularFile(candidate)) return GetFullPath(candidate);
  }
  return native.find('\\') == std::string::npos ? std::string() : path;
}

}  // namespace

std::string GetModuleFileName() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    // A full buffer holds a cut path: ask again with more room.
    if (n < buffer.size()) return ToInternalPath(Narrow(buffer.substr(0, n)));
    buffer.resize(buffer.size() * 2);
  }
}

bool StartProcess(const std::string& command_line, const std::string& directory) {
  const std::vector<std::string> arguments = SplitCommandLine(command_line);
  if (arguments[0].empty()) return false;
  const std::string native_directory = ResolvePath(directory);
  const std::string program = ProgramPath(arguments[0], native_directory);
  std::string line = command_line;  // CreateProcess may write into it
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // No handle of this process is inherited.
  if (!CreateProcessA(program.empty() ? nullptr : program.c_str(), line.data(), nullptr, nullptr,
                      FALSE, 0, nullptr, native_directory.c_str(), &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

}  // namespace platform
