// What a screenshot of the updater's window must show, whichever toolkit drew it: the demo skin
// centred on the 1024 x 768 screen, its key colour cut away, the bars, the text line and buttons
// in the skin's slots.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "demo_skin.h"
#include "virtual_desktop.h"

namespace test_support {

inline constexpr int kLeft = VirtualDesktop::kWidth / 2 - demo::kSkinWidth / 2;
inline constexpr int kTop = VirtualDesktop::kHeight / 2 - demo::kSkinHeight / 2;
inline constexpr Rgb kGold{0xE8, 0xC0, 0x60};

inline bool IsKeyColour(const Rgb& pixel) {
  return pixel == Rgb{int(demo::kKeyRed), int(demo::kKeyGreen), int(demo::kKeyBlue)};
}
inline bool IsDark(const Rgb& pixel) { return pixel.Brightness() < 100; }
inline int KeyColourInSkin(const Screenshot& shot) {
  return shot.Count(kLeft, kTop, demo::kSkinWidth, demo::kSkinHeight, IsKeyColour);
}

// Screenshots of the whole screen into `folder` until one shows what `ready` looks for (about ten
// seconds at most): a window draws on its own time. The last one taken.
inline Screenshot ShotWhen(const std::filesystem::path& folder, const std::string& name,
                           const std::function<bool(const Screenshot&)>& ready) {
  for (int attempt = 0;; ++attempt) {
    Screenshot shot(folder, name);
    if ((shot.IsValid() && ready(shot)) || attempt == 40) return shot;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

inline int DarkInSlot(const Screenshot& shot, const demo::Slot& slot) {
  return shot.Count(kLeft + slot.x, kTop + slot.y, slot.width, slot.height, IsDark);
}
inline int DarkInTextLine(const Screenshot& shot) { return DarkInSlot(shot, demo::kTaskEdit); }
// Whether a bar's two ends look alike: empty or full, not partly filled.
inline bool EndsAlike(const Screenshot& shot, const demo::Slot& bar) {
  const int middle = kTop + bar.y + bar.height / 2;
  return shot.At(kLeft + bar.x + 3, middle).Near(shot.At(kLeft + bar.x + bar.width - 4, middle));
}
// Whether the overall bar is full: its far end is filled, not the trough's white.
inline bool MainBarFull(const Screenshot& shot) {
  const demo::Slot main = demo::kMainBar;
  const Rgb end = shot.At(kLeft + main.x + main.width - 4, kTop + main.y + main.height / 2);
  return !end.Near({0xFF, 0xFF, 0xFF}, 60);
}
// The skin itself: its corners are cut away (the screen behind shows), the gold rim, the dark
// title band.
inline bool ShowsTheSkinsShape(const Screenshot& shot) {
  return KeyColourInSkin(shot) == 0 && !shot.At(kLeft + 1, kTop + 1).Near(kGold, 40) &&
         shot.At(kLeft + demo::kSkinWidth / 2, kTop + 1).Near(kGold) &&
         shot.At(kLeft + 100, kTop + 15).Brightness() < 0x70;
}

// The centre of a layout slot on the screen.
inline void ClickSlot(const demo::Slot& slot) {
  VirtualDesktop::Click(kLeft + slot.x + slot.width / 2, kTop + slot.y + slot.height / 2);
}

}  // namespace test_support
