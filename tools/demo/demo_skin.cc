#include "demo_skin.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "demo/bmp_file.h"

namespace demo {
namespace {

constexpr int kCornerRadius = 18;
constexpr int kBorder = 3;
constexpr int kTitleBand = 34;

// How far (x, y) lies inside the rounded panel, in pixels; negative outside it.
double Inside(int x, int y) {
  const double cx =
      std::clamp(double(x), double(kCornerRadius), double(kSkinWidth - 1 - kCornerRadius));
  const double cy =
      std::clamp(double(y), double(kCornerRadius), double(kSkinHeight - 1 - kCornerRadius));
  return kCornerRadius - std::hypot(x - cx, y - cy);
}

struct Colour {
  int red, green, blue;
};

// Picture coordinates, top row 0.
Colour PixelAt(int x, int y) {
  const double depth = Inside(x, y);
  if (depth < 0) return {int(kKeyRed), int(kKeyGreen), int(kKeyBlue)};
  if (depth < kBorder) return {0xE8, 0xC0, 0x60};  // a gold rim
  if (y < kTitleBand) {
    // A title band with a diagonal stripe pattern, so that the skin is plainly a picture.
    const bool stripe = ((x + y) / 6) % 2 == 0;
    return stripe ? Colour{0x1C, 0x3A, 0x6E} : Colour{0x24, 0x48, 0x84};
  }
  const double t = double(y - kTitleBand) / (kSkinHeight - kTitleBand);
  return {int(0x10 + 0x10 * t), int(0x30 + 0x50 * t), int(0x50 + 0x30 * t)};
}

}  // namespace

std::string SkinBmp() {
  std::vector<std::uint32_t> pixels;
  pixels.reserve(kSkinWidth * kSkinHeight);
  for (int y = 0; y < kSkinHeight; ++y) {
    for (int x = 0; x < kSkinWidth; ++x) {
      const Colour c = PixelAt(x, y);
      pixels.push_back(std::uint32_t(c.red) << 16 | std::uint32_t(c.green) << 8 |
                       std::uint32_t(c.blue));
    }
  }
  return bmp::Bmp24(kSkinWidth, kSkinHeight, pixels);
}

std::string DialogConfig(const std::string& skin, const std::string& game, const std::string& url) {
  std::string text =
      "main_image=" + skin + "\r\nrunfilename=" + game + "\r\nserverside_url=" + url + "\r\n";
  const auto slot = [&text](const char* prefix, const Slot& s) {
    const std::string p = prefix;
    text += p + "_x=" + std::to_string(s.x) + "\r\n" + p + "_y=" + std::to_string(s.y) + "\r\n" +
            p + "_width=" + std::to_string(s.width) + "\r\n" + p +
            "_height=" + std::to_string(s.height) + "\r\n";
  };
  slot("main_progress", kMainBar);
  slot("task_progress", kTaskBar);
  slot("task_edit", kTaskEdit);
  slot("main_btn", kStartButton);
  slot("quit_btn", kQuitButton);
  return text;
}

std::string Utf16LeFromAscii(const std::string& text) {
  std::string bytes = "\xFF\xFE";
  for (const char c : text) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

}  // namespace demo
