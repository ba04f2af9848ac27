// A desktop of the tests' own: a private Xvfb server without a window manager, screenshots of it
// (kept as PNG files), and synthetic input with xdotool.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace test_support {

struct Rgb {
  int red, green, blue;
  bool operator==(const Rgb&) const = default;
  bool Near(const Rgb& other, int tolerance = 12) const;
  int Brightness() const { return (red + green + blue) / 3; }
};

class Screenshot {
 public:
  // The whole screen, saved as <folder>/<name>.png.
  Screenshot(const std::filesystem::path& folder, const std::string& name);
  bool IsValid() const { return width_ > 0; }
  Rgb At(int x, int y) const;
  // How many pixels of the rectangle match.
  int Count(int x, int y, int width, int height, bool (*match)(const Rgb&)) const;

 private:
  int width_ = 0, height_ = 0;
  std::vector<std::uint8_t> rgb_;
};

// Xvfb on a free display number, 1024 x 768 at 24 bits, ready for clients when the constructor
// returns, optionally with a window manager (openbox) that manages windows by then; DISPLAY names
// it and NO_AT_BRIDGE keeps GTK from looking for an accessibility bus while the object lives.
class VirtualDesktop {
 public:
  static constexpr int kWidth = 1024;
  static constexpr int kHeight = 768;

  explicit VirtualDesktop(bool with_window_manager = false);
  ~VirtualDesktop();
  VirtualDesktop(const VirtualDesktop&) = delete;
  VirtualDesktop& operator=(const VirtualDesktop&) = delete;
  // Whether the server (and the window manager asked for) came up and still runs.
  bool IsRunning() const;

  static void Click(int x, int y);
  static void PressKey(const std::string& key);

 private:
  void Start();
  void StartWindowManager();

  pid_t server_ = -1;
  pid_t window_manager_ = -1;
  int ready_fd_ = -1;  // the server's ready pipe, open while it runs
  bool running_ = false;
};

// Where the window tests keep their screenshots: build/test-artifacts/<name>/.
std::filesystem::path ArtifactFolder(const std::string& name = "window");

}  // namespace test_support
