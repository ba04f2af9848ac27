// The skin and its shape in cairo's terms.
#include <cstdint>
#include <vector>

#include "ui/gtk/gtk_window.h"

namespace ui_gtk {
namespace {

// One pixel of a DIB row as cairo's 0x00RRGGBB: blue, green, red, and for 32-bit rows a fourth
// byte that carries nothing. Skins of other depths have no surface (the decoder makes none).
std::uint32_t PixelAt(const std::uint8_t* row, int x, int bytes_per_pixel) {
  const std::uint8_t* pixel = row + x * bytes_per_pixel;
  return std::uint32_t{pixel[2]} << 16 | std::uint32_t{pixel[1]} << 8 | pixel[0];
}

}  // namespace

cairo_surface_t* SkinSurface(const DibSection& image) {
  const int width = image.GetWidth();
  const int height = image.GetHeight();
  const int bytes = image.GetBytesPerPixel();
  if (!image.HasBitmap() || width <= 0 || height <= 0 || bytes < 3) return nullptr;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < height; ++y) {
    // DIB rows are stored bottom-up.
    const std::uint8_t* source = image.GetRow(height - 1 - y);
    auto* target = reinterpret_cast<std::uint32_t*>(data + y * stride);
    for (int x = 0; x < width; ++x) target[x] = PixelAt(source, x, bytes);
  }
  cairo_surface_mark_dirty(surface);
  return surface;
}

cairo_region_t* ShapeRegion(const WindowRegion& region) {
  std::vector<cairo_rectangle_int_t> rects;
  rects.reserve(region.rects.size());
  for (const RegionRect& rect : region.rects) {
    rects.push_back({rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top});
  }
  return cairo_region_create_rectangles(rects.data(), static_cast<int>(rects.size()));
}

}  // namespace ui_gtk
