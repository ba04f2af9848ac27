// A desktop of the tests' own: a private Xvfb server without a window manager, screenshots of it
// (kept as PNG files), synthetic input with xdotool, and the stack of its windows.
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
// returns; DISPLAY names it and NO_AT_BRIDGE keeps GTK from looking for an accessibility bus while
// the object lives.
class VirtualDesktop {
 public:
  static constexpr int kWidth = 1024;
  static constexpr int kHeight = 768;

  VirtualDesktop();
  ~VirtualDesktop();
  VirtualDesktop(const VirtualDesktop&) = delete;
  VirtualDesktop& operator=(const VirtualDesktop&) = delete;
  // Whether the server came up and still runs.
  bool IsRunning() const;

  static void Click(int x, int y);
  // Without a window manager the keyboard goes to the window under the pointer: the key is
  // pressed with the pointer on the middle of the screen, where the updater's windows stand.
  static void PressKey(const std::string& key);

 private:
  pid_t server_ = -1;
  int ready_fd_ = -1;  // the server's ready pipe, open while it runs
};

// The geometry ("WIDTHxHEIGHT+X+Y") of the top-level window with that title, "" for none. Without
// a window manager the programs' windows are the root's own children.
std::string GeometryOf(const std::string& title);
// Whether a window with that title is on the screen (mapped; the X stack has unmapped ones too).
bool Shown(const std::string& title);
// Whether both are shown and the first stands above the second in the X stack.
bool Above(const std::string& upper, const std::string& lower);

// Where the window tests keep their screenshots: build/test-artifacts/<name>/.
std::filesystem::path ArtifactFolder(const std::string& name = "window");

}  // namespace test_support
