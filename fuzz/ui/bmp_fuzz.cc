// Feeds arbitrary bytes to the BMP decoder as a skin from the package would arrive. An accepted
// image must hold every pixel it claims, and its region must stay inside it.
#include <cstdint>
#include <cstdlib>

#include "base/exception.h"
#include "ui/dib_image_loaders.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  DibSection image;
  try {
    DibBmpLoader::DecodeBmp(&image, data, static_cast<std::uint32_t>(size));
  } catch (const Exception&) {
    return 0;
  }
  if (!image.HasBitmap()) std::abort();
  const auto region = image.CreateRegion(image.GetKeyColor());
  if (!region) return 0;
  for (const RegionRect& rect : region->rects) {
    if (rect.left < 0 || rect.right > image.GetWidth() || rect.left >= rect.right) std::abort();
    if (rect.top < 0 || rect.bottom > image.GetHeight()) std::abort();
  }
  return 0;
}
