#include "platform/process.h"

#include <spawn.h>
#include <unistd.h>

#include <vector>

#include "platform/file.h"
#include "platform/path.h"

extern char** environ;

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

// The program file to run, or empty for a bare name to be looked up along PATH.
std::string ProgramPath(const std::string& program, const std::string& directory) {
  const bool absolute = !program.empty() && (program[0] == '\\' || program[0] == '/');
  const std::string path = absolute ? program : directory + "\\" + program;
  const std::string native = ResolvePath(path);
  if (access(native.c_str(), F_OK) == 0) return native;
  return program.find_first_of("\\/") == std::string::npos ? std::string() : native;
}

}  // namespace

std::string GetModuleFileName() {
  std::vector<char> buffer(260);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0) return {};
    // readlink truncates silently; a full buffer may be a cut path, so ask again with more room.
    if (static_cast<size_t>(n) < buffer.size())
      return ToInternalPath({buffer.data(), static_cast<size_t>(n)});
    buffer.resize(buffer.size() + 260);
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
  const std::string program = ProgramPath(arguments[0], directory);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  const std::string native_directory = ResolvePath(directory);
  posix_spawn_file_actions_addchdir_np(&actions, native_directory.c_str());
  pid_t pid = 0;
  // Every descriptor of this process is opened close-on-exec, so the child inherits none.
  const int failed =
      program.empty()
          ? posix_spawnp(&pid, arguments[0].c_str(), &actions, nullptr, argv.data(), environ)
          : posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return failed == 0;
}

}  // namespace platform
