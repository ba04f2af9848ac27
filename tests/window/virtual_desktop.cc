#include "virtual_desktop.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "support/scratch.h"

namespace test_support {
namespace {

std::string Output(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
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
    dup2(open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), 2);
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

// The root's children in the X stack, from the top down, as xwininfo lists them:
// "0x... "title": (class) WIDTHxHEIGHT+X+Y ...". The place of the first one with that title (-1
// for none) and its geometry.
std::pair<int, std::string> Find(const std::string& title) {
  std::istringstream tree(Output("xwininfo -root -children 2>/dev/null"));
  int place = 0;
  for (std::string line; std::getline(tree, line);) {
    if (line.find(" 0x") == std::string::npos) continue;
    const size_t at = line.find("\"" + title + "\": (");
    if (at != std::string::npos) {
      std::istringstream rest(line.substr(line.find(')', at) + 1));
      std::string geometry;
      rest >> geometry;
      return {place, geometry};
    }
    ++place;
  }
  return {-1, ""};
}

}  // namespace

bool Rgb::Near(const Rgb& other, int tolerance) const {
  return std::abs(red - other.red) <= tolerance && std::abs(green - other.green) <= tolerance &&
         std::abs(blue - other.blue) <= tolerance;
}

std::filesystem::path ArtifactFolder(const std::string& name) {
  const std::filesystem::path folder =
      std::filesystem::path(VARNE_BINARY_DIR) / "test-artifacts" / name;
  std::filesystem::create_directories(folder);
  return folder;
}

// ImageMagick writes the raw pixels, three bytes each, row by row.
Screenshot::Screenshot(const std::filesystem::path& folder, const std::string& name) {
  const std::string png = (folder / (name + ".png")).string();
  const std::string bytes =
      Output("import -window root '" + png + "' && convert '" + png + "' -depth 8 rgb:-");
  if (bytes.size() == size_t(VirtualDesktop::kWidth) * VirtualDesktop::kHeight * 3) {
    rgb_.assign(bytes.begin(), bytes.end());
    width_ = VirtualDesktop::kWidth;
    height_ = VirtualDesktop::kHeight;
  }
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

// Not the lowest free display number, which other servers started with -displayfd alone also
// pick: where the system keeps no lock files, one of them would take over this server's socket. A
// number that another server holds ends this one at once, and the next number is tried.
VirtualDesktop::VirtualDesktop() {
  if (access("/usr/bin/Xvfb", X_OK) != 0) return;
  const int first = 200 + getpid() % 500;
  for (int number = first; number < first + 50 && server_ < 0; ++number) {
    if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number))) continue;
    server_ = StartServer(number, &ready_fd_);
    if (server_ > 0) setenv("DISPLAY", (":" + std::to_string(number)).c_str(), 1);
  }
  setenv("NO_AT_BRIDGE", "1", 1);
}

bool VirtualDesktop::IsRunning() const { return server_ > 0 && kill(server_, 0) == 0; }

VirtualDesktop::~VirtualDesktop() {
  unsetenv("DISPLAY");
  if (server_ > 0) {
    kill(server_, SIGTERM);
    waitpid(server_, nullptr, 0);
  }
  if (ready_fd_ >= 0) close(ready_fd_);
}

void VirtualDesktop::Click(int x, int y) {
  Run("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1");
}

void VirtualDesktop::PressKey(const std::string& key) {
  Run("xdotool mousemove " + std::to_string(kWidth / 2) + " " + std::to_string(kHeight / 2) +
      " key " + key);
}

std::string GeometryOf(const std::string& title) { return Find(title).second; }

bool Shown(const std::string& title) {
  return !Output("xdotool search --onlyvisible --name '^" + title + "$' 2>/dev/null").empty();
}

bool Above(const std::string& upper, const std::string& lower) {
  return Shown(upper) && Shown(lower) && Find(upper).first < Find(lower).first;
}

}  // namespace test_support
