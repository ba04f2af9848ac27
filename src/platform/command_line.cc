// Splitting a command line into its arguments, by the rules Windows programs read their own
// command lines with; the same on every system, so that a command line means the same everywhere.
#include "platform/process.h"

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

}  // namespace

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

}  // namespace platform
