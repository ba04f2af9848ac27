#include "ui/dib_section.h"

#include <algorithm>

#include "base/exception.h"
#include "base/singleton.h"
#include "ui/dib_image_loaders.h"

namespace {

// The largest pixel block a bitmap may have: the header's image size is a signed quantity for
// the window system.
constexpr std::uint64_t kMaxImageBytes = 0x7FFFFFFF;

bool IsKey(const std::uint8_t* pixel, std::uint32_t key) {
  return pixel[0] == (key & 0xFF) && pixel[1] == ((key >> 8) & 0xFF) &&
         pixel[2] == ((key >> 16) & 0xFF);
}

}  // namespace

void WindowRegion::Add(const RegionRect& rect) {
  rects.push_back(rect);
  bounds.left = std::min(bounds.left, rect.left);
  bounds.top = std::min(bounds.top, rect.top);
  bounds.right = std::max(bounds.right, rect.right);
  bounds.bottom = std::max(bounds.bottom, rect.bottom);
}

bool DibSection::Create(int bits, int width, int height) {
  Destroy();
  if ((bits != 16 && bits != 24 && bits != 32) || width <= 0 || height <= 0) return false;
  const int bytes_per_pixel = (bits + 7) / 8;
  const std::uint64_t stride = (std::uint64_t(bytes_per_pixel) * std::uint64_t(width) + 3) / 4 * 4;
  if (stride * std::uint64_t(height) > kMaxImageBytes) return false;
  header_ = BitmapInfoHeader{};
  header_.width = width;
  header_.height = height;
  header_.bit_count = static_cast<std::uint16_t>(bits);
  header_.compression = bits == 24 ? kBiRgb : kBiBitfields;
  header_.image_size = static_cast<std::uint32_t>(stride * height);
  if (bits == 16) masks_ = {0x7C00, 0x03E0, 0x001F};
  if (bits == 32) masks_ = {0xFF0000, 0xFF00, 0xFF};
  bytes_per_pixel_ = bytes_per_pixel;
  stride_ = static_cast<std::size_t>(stride);
  pixels_.assign(header_.image_size, 0);
  return true;
}

void DibSection::Destroy() {
  header_ = BitmapInfoHeader{};
  masks_ = {};
  pixels_ = {};
  stride_ = 0;
  bytes_per_pixel_ = 0;
}

ResultCode DibSection::Load(const std::tstring& path, bool try_file_first) {
  try {
    DibImageLoaders* loaders = Singleton<DibImageLoaders>::GetInstance();
    if (loaders == nullptr) {
      loaders = new DibImageLoaders();
      SingletonManager::GetInstance().Register(loaders);
    }
    if (loaders->Load(this, path, try_file_first)) return kResultOk;
    throw DibSectionException("Image Load Error : " + path);
  } catch (...) {
    Destroy();
    throw;
  }
}

std::uint32_t DibSection::GetKeyColor() const {
  if (!HasBitmap() || bytes_per_pixel_ < 3) return 0;
  const std::uint8_t* pixel = GetRow(header_.height - 1);
  return 0xFF000000u + (std::uint32_t{pixel[2]} << 16) + (std::uint32_t{pixel[1]} << 8) + pixel[0];
}

std::optional<WindowRegion> DibSection::CreateRegion(std::uint32_t key) const {
  if (!HasBitmap() || bytes_per_pixel_ < 3) return std::nullopt;
  WindowRegion region;
  region.rects.reserve(256);
  const int width = header_.width;
  for (int y = 0; y < header_.height; ++y) {
    const std::uint8_t* row = GetRow(header_.height - 1 - y);
    for (int x = 0; x < width; ++x) {
      const int start = x;
      while (x < width && !IsKey(row + x * bytes_per_pixel_, key)) ++x;
      if (x > start) region.Add({start, y, x, y + 1});
    }
  }
  return region;
}
