// Shell commands, whole folders, settings files and the programs under test (this build's, or the
// Windows build's under Wine) for the tests that cross layers (header only); scratch folders, whole
// files and waits for other processes come from platform/testing/scratch_folder.h.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <regex>
#include <stdexcept>
#include <string>

#include "platform/socket.h"
#include "platform/testing/scratch_folder.h"

namespace test_support {

// True when something accepts connections on 127.0.0.1:port now.
inline bool Accepts(std::uint16_t port) {
  platform::Socket probe;
  return probe.Create() && probe.Connect(platform::kLoopbackAddress, port);
}

// Waits until something accepts connections on 127.0.0.1:port (at most about ten seconds).
inline bool WaitForPort(std::uint16_t port) {
  return Eventually([port] { return Accepts(port); }, 10);
}

// Whether the programs under test are the Windows build's, run under Wine: VARNE_WINDOWS_BIN names
// its bin folder. The servers and tools that only stand around them are always this build's.
inline bool OnWine() { return std::getenv("VARNE_WINDOWS_BIN") != nullptr; }
// A program of the build under test ("vpk", or "RV7WIN9XME.EXE" with its extension).
inline std::filesystem::path ProgramFile(const std::string& name) {
  if (!OnWine()) return std::filesystem::path(VARNE_BINARY_DIR) / "bin" / name;
  const bool bare = name.find('.') == std::string::npos;
  return std::filesystem::path(std::getenv("VARNE_WINDOWS_BIN")) / (bare ? name + ".exe" : name);
}
// The command line that starts it.
inline std::string Program(const std::string& name) {
  return (OnWine() ? "wine '" : "'") + ProgramFile(name).string() + "'";
}
// A relative path as the programs under test write it: with backslashes on Windows.
inline std::string NativeSeparators(std::string path) {
  if (OnWine()) std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}
// What a terminal shows of a program's output, without its control sequences: Wine's console
// stands between a Windows program and the pseudo-terminal and wraps each character it draws in
// sequences of its own.
inline std::string ScreenText(const std::string& output) {
  static const std::regex kControl("\x1b(\\[[0-9;?]*[ -/]*[@-~]|\\][^\x07]*\x07|[()][0-9A-B])");
  return std::regex_replace(output, kControl, "");
}
// How a program is started from its own folder.
inline std::string Runner() { return OnWine() ? "wine " : "./"; }

// Runs a shell command; throws when it does not exit with 0.
inline void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// Every regular file below folder (relative name, native separators) with its bytes.
using Snapshot = std::map<std::string, std::string>;
inline Snapshot Take(const std::filesystem::path& folder) {
  Snapshot files;
  for (const auto& item : std::filesystem::recursive_directory_iterator(folder)) {
    if (item.is_regular_file()) {
      files[std::filesystem::relative(item.path(), folder).string()] = ReadFile(item.path());
    }
  }
  return files;
}

// A shell command run in the background in a folder, with no input, at most `seconds` long; its
// output and exit status are kept beside the folder. One still running when the object goes is
// ended.
class Background {
 public:
  Background(const std::filesystem::path& folder, const std::string& command, int seconds = 120) {
    static int count = 0;
    base_ = folder.string() + "-" + std::to_string(++count);
    Run("cd '" + folder.string() + "' && (timeout " + std::to_string(seconds) + " " + command +
        " </dev/null >'" + base_ + ".out' 2>'" + base_ + ".err' & echo $! >'" + base_ +
        ".pid'; wait $!; echo $? >'" + base_ + ".status') 2>/dev/null &");
  }
  ~Background() {
    const std::string pid = ReadFile(base_ + ".pid");
    if (!Ended() && !pid.empty()) std::system(("kill " + std::to_string(std::stoi(pid))).c_str());
    for (const char* kept : {".out", ".err", ".pid", ".status"})
      std::filesystem::remove(base_ + kept);
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  // The exit status, or -1 when the command has not ended within `seconds`.
  int Wait(int seconds = 20) const {
    if (!Eventually([&] { return Ended(); }, seconds)) return -1;
    return std::stoi(ReadFile(base_ + ".status"));
  }
  std::string Out() const { return ReadFile(base_ + ".out"); }
  std::string Err() const { return ReadFile(base_ + ".err"); }
  std::string Output() const { return Out() + Err(); }  // for failure messages
  // Kills the command's own processes at once, as a power loss would end them.
  void KillChildren() const { std::system(("pkill -9 -P " + ReadFile(base_ + ".pid")).c_str()); }

 private:
  bool Ended() const { return ReadFile(base_ + ".status").find('\n') != std::string::npos; }

  std::string base_;
};

struct ProcessResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs command in folder and waits for it (at most `seconds` long).
inline ProcessResult RunIn(const std::filesystem::path& folder, const std::string& command,
                           int seconds = 60) {
  const Background run(folder, command, seconds);
  return {run.Wait(seconds + 5), run.Out(), run.Err()};
}

}  // namespace test_support
