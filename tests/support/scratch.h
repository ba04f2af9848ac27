// Waits for other processes, shell commands and settings files for the tests that cross layers
// (header only); scratch folders and whole files come from platform/testing/scratch_folder.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/socket.h"
#include "platform/testing/scratch_folder.h"
#include "platform/text.h"

namespace test_support {

// A settings file as packages hold it: the narrow text in UTF-16LE after a byte-order mark.
inline std::string Utf16LeWithBom(const std::string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : platform::AnsiToWide(text)) bytes += {char(unit & 0xFF), char(unit >> 8)};
  return bytes;
}

// Waits, at most `seconds` long, for a condition that another process brings about.
template <typename Condition>
bool Eventually(Condition condition, int seconds = 40) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

// True when something accepts connections on 127.0.0.1:port now.
inline bool Accepts(std::uint16_t port) {
  platform::Socket probe;
  return probe.Create() && probe.Connect(platform::kLoopbackAddress, port);
}

// Waits until something accepts connections on 127.0.0.1:port (at most about ten seconds).
inline bool WaitForPort(std::uint16_t port) {
  return Eventually([port] { return Accepts(port); }, 10);
}

// Runs a shell command; throws when it does not exit with 0.
inline void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

}  // namespace test_support
