#include "platform/process.h"

#include <windows.h>
// The header's function, not the system's macro for GetModuleFileNameA.
#undef GetModuleFileName

#include <vector>

#include "platform/file.h"
#include "platform/native_handle.h"
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

// The program of an unquoted command line whose program name holds blanks ("bin\my game\game.exe
// -x") is the shortest leading piece, cut at a blank, that names a program file, as the system
// reads such a line; without one, the first word's.
std::string ProgramOfLine(const std::string& command_line, const std::string& first,
                          const std::string& directory) {
  const std::string program = ProgramPath(first, directory);
  if (command_line.starts_with('"') || IsRegularFile(program)) return program;
  for (std::size_t end = command_line.find(' ', first.size()); end != std::string::npos;
       end = command_line.find(' ', end + 1)) {
    const std::string longer = ProgramPath(command_line.substr(0, end), directory);
    if (IsRegularFile(longer)) return longer;
  }
  const std::string whole = ProgramPath(command_line, directory);
  return IsRegularFile(whole) ? whole : program;
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
  const std::string program = ProgramOfLine(command_line, arguments[0], native_directory);
  std::string line = command_line;  // CreateProcess may write into it
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // No handle of this process is inherited.
  if (!CreateProcessA(program.empty() ? nullptr : program.c_str(), line.data(), nullptr, nullptr,
                      FALSE, 0, nullptr, native_directory.c_str(), &startup, &process)) {
    return false;
  }
  // Nothing here waits for the child or its first thread.
  const NativeHandle thread(process.hThread), child(process.hProcess);
  return true;
}

}  // namespace platform
