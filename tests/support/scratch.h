// Scratch folders, whole-file reads and writes, and waits for other processes, for the tests
// that cross layers.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

namespace test_support {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix);
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& GetPath() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

// A settings file as packages hold it: the narrow text in UTF-16LE after a byte-order mark.
std::string Utf16LeWithBom(const std::string& text);

// Waits, at most `seconds` long, for a condition that another process brings about.
template <typename Condition>
bool Eventually(Condition condition, int seconds = 40) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

// Waits until something accepts connections on 127.0.0.1:port (at most about ten seconds).
bool WaitForPort(std::uint16_t port);

// Runs a shell command; throws when it does not exit with 0.
void Run(const std::string& command);

// True when something accepts connections on 127.0.0.1:port now.
bool Accepts(std::uint16_t port);

}  // namespace test_support
