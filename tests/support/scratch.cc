#include "scratch.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/text.h"

#include "platform/socket.h"

namespace test_support {

bool Accepts(std::uint16_t port) {
  platform::Socket probe;
  return probe.Create() && probe.Connect(platform::kLoopbackAddress, port);
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

TempFolder::TempFolder(const std::string& prefix) {
  std::random_device random;
  path_ = std::filesystem::temp_directory_path() /
          (prefix + "-" + std::to_string(random()) + std::to_string(random()));
  std::filesystem::create_directories(path_);
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool WaitForPort(std::uint16_t port) {
  for (int i = 0; i < 200; ++i) {
    if (Accepts(port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

std::string Utf16LeWithBom(const std::string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : platform::AnsiToWide(text)) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

}  // namespace test_support
