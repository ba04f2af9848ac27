#include "platform/process.h"

#include <spawn.h>
#include <unistd.h>

#include <vector>

#include "platform/file.h"
#include "platform/path.h"

extern char** environ;

namespace platform {
namespace {

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
