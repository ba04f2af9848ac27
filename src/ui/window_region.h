// A window shape as a list of rectangles, independent of any window system: each view turns it
// into its own region type.
#pragma once

#include <cstdint>
#include <vector>

struct RegionRect {
  std::int32_t left, top, right, bottom;  // right and bottom exclusive
  bool operator==(const RegionRect&) const = default;
};

struct WindowRegion {
  std::vector<RegionRect> rects;
  // Starts inverted so that the first rectangle sets it; an empty region keeps it so.
  RegionRect bounds{0x7FFFFFFF, 0x7FFFFFFF, 0, 0};

  void Add(const RegionRect& rect);
};
