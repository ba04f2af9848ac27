// The sample skin: a 24-bit BMP of a rounded panel inside a key-colour surround, and the
// "dlgconfig.conf" whose layout keys place the controls on it.
#pragma once

#include <string>

namespace demo {

inline constexpr int kSkinWidth = 320;
inline constexpr int kSkinHeight = 180;
// The surround's colour: the skin's top-left pixel, left out of the window's shape.
inline constexpr unsigned kKeyRed = 0xFF, kKeyGreen = 0x00, kKeyBlue = 0xFF;

struct Slot {
  int x, y, width, height;
};
inline constexpr Slot kMainBar{24, 48, 272, 14};
inline constexpr Slot kTaskBar{24, 70, 272, 14};
inline constexpr Slot kTaskEdit{24, 92, 272, 20};
inline constexpr Slot kStartButton{24, 128, 132, 30};
inline constexpr Slot kQuitButton{164, 128, 132, 30};

// The BMP file's bytes.
std::string SkinBmp();
// The layout file's text (ASCII) for a skin file name, a game command line and a list URL.
std::string DialogConfig(const std::string& skin, const std::string& game, const std::string& url);
// UTF-16LE with a byte-order mark, as the updater reads "dlgconfig.conf"; ASCII text only.
std::string Utf16LeFromAscii(const std::string& text);

}  // namespace demo
