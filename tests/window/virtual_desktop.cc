#include "virtual_desktop.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "local_servers.h"

namespace test_support {
namespace {

// A binary PPM (P6) as ImageMagick writes it: header fields separated by white space.
bool ReadPpm(const std::string& bytes, int& width, int& height, std::vector<std::uint8_t>& rgb) {
  int fields[3] = {};
  size_t at = 2;
  if (bytes.compare(0, 2, "P6") != 0) return false;
  for (int& field : fields) {
    while (at < bytes.size() && std::isspace(static_cast<unsigned char>(bytes[at]))) ++at;
    size_t end = at;
    while (end < bytes.size() && std::isdigit(static_cast<unsigned char>(bytes[end]))) ++end;
    if (end == at) return false;
    field = std::stoi(bytes.substr(at, end - at));
    at = end;
  }
  ++at;  // the single white-space character before the pixels
  width = fields[0];
  height = fields[1];
  if (fields[2] != 255 || bytes.size() < at + size_t(width) * height * 3) return false;
  rgb.assign(bytes.begin() + at, bytes.begin() + at + size_t(width) * height * 3);
  return true;
}

// Xvfb on display `number`; its process id, or -1 when it did not come up. The server writes the
// number and then a line feed to the ready pipe once it takes clients, and ends when such a write
// fails: reading stops only at the line feed, and the read end (`*ready_fd`) stays open for as
// long as the server runs.
pid_t StartServer(int number, int* ready_fd) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return -1;
  const std::string log = (ArtifactFolder() / "xvfb.log").string();
  const pid_t server = fork();
  if (server == 0) {
    const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(output, 2);
    fcntl(ready[1], F_SETFD, 0);  // the one descriptor the server inherits
    const std::string display = ":" + std::to_string(number);
    const std::string fd = std::to_string(ready[1]);
    execl("/usr/bin/Xvfb", "Xvfb", display.c_str(), "-displayfd", fd.c_str(), "-noreset",
          "-nolisten", "tcp", "-screen", "0", "1024x768x24", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  std::string answer;
  char byte = 0;
  while (server > 0 && answer.find('\n') == std::string::npos && read(ready[0], &byte, 1) == 1) {
    answer += byte;
  }
  if (answer.find('\n') != std::string::npos) {
    *ready_fd = ready[0];
    return server;
  }
  close(ready[0]);
  if (server > 0) waitpid(server, nullptr, 0);
  return -1;
}

}  // namespace

bool Rgb::Near(const Rgb& other, int tolerance) const {
  return std::abs(red - other.red) <= tolerance && std::abs(green - other.green) <= tolerance &&
         std::abs(blue - other.blue) <= tolerance;
}

std::filesystem::path ArtifactFolder() {
  const std::filesystem::path folder =
      std::filesystem::path(VARNE_BINARY_DIR) / "test-artifacts" / "window";
  std::filesystem::create_directories(folder);
  return folder;
}

Screenshot::Screenshot(const std::filesystem::path& folder, const std::string& name) {
  const std::string png = (folder / (name + ".png")).string();
  const std::string ppm = (folder / (name + ".ppm")).string();
  if (std::system(
          ("import -window root '" + png + "' && convert '" + png + "' '" + ppm + "'").c_str()) !=
      0) {
    return;
  }
  if (!ReadPpm(ReadFile(ppm), width_, height_, rgb_)) width_ = height_ = 0;
  std::filesystem::remove(ppm);
}

Rgb Screenshot::At(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return {-1, -1, -1};
  const size_t at = (size_t(y) * width_ + x) * 3;
  return {rgb_[at], rgb_[at + 1], rgb_[at + 2]};
}

int Screenshot::Count(int x, int y, int width, int height, bool (*match)(const Rgb&)) const {
  int count = 0;
  for (int row = y; row < y + height; ++row) {
    for (int column = x; column < x + width; ++column) count += match(At(column, row)) ? 1 : 0;
  }
  return count;
}

VirtualDesktop::VirtualDesktop(bool with_window_manager) {
  Start();
  if (running_ && with_window_manager) StartWindowManager();
}

bool VirtualDesktop::IsRunning() const {
  const auto alive = [](pid_t process) { return process > 0 && kill(process, 0) == 0; };
  return running_ && alive(server_) && (window_manager_ < 0 || alive(window_manager_));
}

void VirtualDesktop::Start() {
  if (access("/usr/bin/Xvfb", X_OK) != 0) return;
  // Not the lowest free number, which other servers started with -displayfd alone also pick:
  // where the system keeps no lock files, one of them would take over this server's socket. A
  // number that another server holds ends this one at once, and the next number is tried.
  const int first = 200 + getpid() % 500;
  for (int number = first; number < first + 50 && server_ < 0; ++number) {
    if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number))) continue;
    server_ = StartServer(number, &ready_fd_);
    if (server_ > 0) setenv("DISPLAY", (":" + std::to_string(number)).c_str(), 1);
  }
  if (server_ < 0) return;
  setenv("NO_AT_BRIDGE", "1", 1);
  running_ = true;
}

// openbox runs its start-up command once it manages the screen.
void VirtualDesktop::StartWindowManager() {
  const std::filesystem::path ready = std::filesystem::temp_directory_path() /
                                      ("varne-openbox-" + std::to_string(getpid()) + ".ready");
  std::filesystem::remove(ready);
  const std::string log = (ArtifactFolder() / "openbox.log").string();
  const std::string startup = "touch '" + ready.string() + "'";
  window_manager_ = fork();
  if (window_manager_ == 0) {
    const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(output, 1);
    dup2(output, 2);
    execlp("openbox", "openbox", "--startup", startup.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  running_ = window_manager_ > 0 &&
             Eventually(
                 [&] {
                   return std::filesystem::exists(ready) ||
                          waitpid(window_manager_, nullptr, WNOHANG) != 0;
                 },
                 20) &&
             std::filesystem::exists(ready);
  std::filesystem::remove(ready);
}

VirtualDesktop::~VirtualDesktop() {
  unsetenv("DISPLAY");
  if (window_manager_ > 0) {
    kill(window_manager_, SIGTERM);
    waitpid(window_manager_, nullptr, 0);
  }
  if (server_ > 0) {
    kill(server_, SIGTERM);
    waitpid(server_, nullptr, 0);
  }
  if (ready_fd_ >= 0) close(ready_fd_);
}

void VirtualDesktop::Click(int x, int y) {
  Run("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1");
}

void VirtualDesktop::PressKey(const std::string& key) { Run("xdotool key " + key); }

}  // namespace test_support
