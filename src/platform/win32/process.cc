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

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Reads one argument after the program name from position pos.
std::string NextArgument(const std::string& line, size_t& pos) {
  std::string argument;
  bool quoted = false;
  while (pos < line.size() && (quoted || !IsBlank(line[pos]))) {
    size_t slashes = 0;
    while (pos < line.size() && line[pos] == '\\') ++slashes, ++pos;
    if (pos < line.size() && line[pos] == '"') {
      argument.append(slashes / 2, '\\');
      if (slashes % 2 == 1) {
        argument += '"';
      } else {
        quoted = !quoted;
      }
      ++pos;
    } else {
      argument.append(slashes, '\\');
      if (pos < line.size() && (quoted || !IsBlank(line[pos]))) argument += line[pos++];
    }
  }
  return argument;
}

std::string ProgramName(const std::string& line, size_t& pos) {
  if (line.empty()) return {};
  if (line[0] == '"') {
    const size_t end = line.find('"', 1);
    pos = end == std::string::npos ? line.size() : end + 1;
    return line.substr(1, (end == std::string::npos ? line.size() : end) - 1);
  }
  pos = line.find_first_of(" \t");
  if (pos == std::string::npos) pos = line.size();
  return line.substr(0, pos);
}

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

std::vector<std::string> SplitCommandLine(const std::string& command_line) {
  size_t pos = 0;
  std::vector<std::string> arguments = {ProgramName(command_line, pos)};
  for (;;) {
    while (pos < command_line.size() && IsBlank(command_line[pos])) ++pos;
    if (pos >= command_line.size()) break;
    arguments.push_back(NextArgument(command_line, pos));
  }
  return arguments;
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
