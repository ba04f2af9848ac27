#include "platform/bitmap_file.h"

#include <gtest/gtest.h>

#include "platform/testing/scratch_folder.h"

namespace platform {
namespace {

void PutU32(std::string& bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>(value >> (8 * i));
}

// A 2 x 2 picture of 8 bits a pixel through a palette of two colours: a kind of BMP that the
// skin's own decoder leaves to the system.
std::string PaletteBitmap() {
  std::string info;
  for (const std::uint32_t value : {40u, 2u, 2u}) PutU32(info, value);
  info += std::string("\x01\x00\x08\x00", 4);                        // one plane, 8 bits
  for (int i = 0; i < 6; ++i) PutU32(info, i == 4 ? 2 : 0);          // two colours used
  const std::string palette("\x10\x20\x30\x00\xff\xff\xff\x00", 8);  // blue, green, red, 0
  const std::string rows("\x00\x01\x00\x00\x01\x00\x00\x00", 8);     // bottom row first
  std::string file = "BM";
  PutU32(file, static_cast<std::uint32_t>(14 + info.size() + palette.size() + rows.size()));
  PutU32(file, 0);
  PutU32(file, static_cast<std::uint32_t>(14 + info.size() + palette.size()));
  return file + info + palette + rows;
}

using SystemBitmapTest = test_support::ScratchFolderTest;

TEST_F(SystemBitmapTest, PaletteBitmapsComeOutAsThirtyTwoBitPixels) {
  Put("skin.bmp", PaletteBitmap());
  const std::optional<SystemBitmap> picture = LoadSystemBitmap(Path("skin.bmp"));
  ASSERT_TRUE(picture.has_value());
  EXPECT_EQ(picture->width, 2);
  EXPECT_EQ(picture->height, 2);
  const auto pixel = [&](int index) {
    return std::string(reinterpret_cast<const char*>(picture->pixels.data()) + 4 * index, 3);
  };
  const std::string dark("\x10\x20\x30", 3), white("\xff\xff\xff", 3);
  EXPECT_EQ(pixel(0) + pixel(1) + pixel(2) + pixel(3), dark + white + white + dark);
  Put("broken.bmp", "GIF89a, not a bitmap");
  EXPECT_FALSE(LoadSystemBitmap(Path("broken.bmp")).has_value());
  EXPECT_FALSE(LoadSystemBitmap(Path("missing.bmp")).has_value());
}

}  // namespace
}  // namespace platform
