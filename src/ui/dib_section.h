// The skin bitmap: a device-independent bitmap whose pixels this object owns. Rows are stored
// bottom-up (memory row 0 is the picture's bottom row), each padded to a multiple of 4 bytes;
// 24-bit pixels are blue, green, red; 32-bit pixels add a fourth byte that is ignored.
// Used on the user-interface thread only.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/result.h"
#include "base/tstring.h"
#include "ui/window_region.h"

// The 40-byte DIB header, in the field order of the file format.
struct BitmapInfoHeader {
  std::uint32_t size = 40;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::uint16_t planes = 1;
  std::uint16_t bit_count = 0;
  std::uint32_t compression = 0;
  std::uint32_t image_size = 0;
  std::int32_t x_pels_per_meter = 0;
  std::int32_t y_pels_per_meter = 0;
  std::uint32_t colors_used = 0;
  std::uint32_t colors_important = 0;
};

inline constexpr std::uint32_t kBiRgb = 0;
inline constexpr std::uint32_t kBiBitfields = 3;

class DibSection {
 public:
  DibSection() = default;
  virtual ~DibSection() = default;
  DibSection(const DibSection&) = delete;
  DibSection& operator=(const DibSection&) = delete;
  DibSection(DibSection&&) = default;
  DibSection& operator=(DibSection&&) = default;

  // Replaces any bitmap with a zeroed one. Only 16, 24 and 32 bits with a positive size whose
  // pixels fit in 2 GiB make a bitmap (other depths would need a palette); false otherwise, and the
  // object is then empty.
  bool Create(int bits, int width, int height);
  void Destroy();
  // 0 when a loader accepted the image. Otherwise the image is empty and a DibSectionException
  // ("Image Load Error : " and the path) is thrown; other failures on the way empty it as well.
  ResultCode Load(const std::tstring& path, bool try_file_first);

  // The colour of the picture's top-left pixel as 0xFF000000 + red << 16 + green << 8 + blue, or
  // 0 when the image has no key colour (empty, or neither 24 nor 32 bits).
  std::uint32_t GetKeyColor() const;
  // The picture without the pixels of colour key (compared on their blue, green and red bytes):
  // per row from the top, one rectangle per run of other pixels. Nothing for an image without a
  // key colour, so that the window keeps its full rectangle.
  std::optional<WindowRegion> CreateRegion(std::uint32_t key) const;

  bool HasBitmap() const { return !pixels_.empty(); }
  int GetWidth() const { return header_.width; }
  int GetHeight() const { return header_.height; }
  const BitmapInfoHeader& GetHeader() const { return header_; }
  const std::array<std::uint32_t, 3>& GetMasks() const { return masks_; }
  int GetBytesPerPixel() const { return bytes_per_pixel_; }
  std::size_t GetStride() const { return stride_; }
  std::uint8_t* GetRow(int memory_row) { return pixels_.data() + memory_row * stride_; }
  const std::uint8_t* GetRow(int memory_row) const { return pixels_.data() + memory_row * stride_; }

 private:
  BitmapInfoHeader header_;
  std::array<std::uint32_t, 3> masks_{};
  std::vector<std::uint8_t> pixels_;
  std::size_t stride_ = 0;
  int bytes_per_pixel_ = 0;
};
