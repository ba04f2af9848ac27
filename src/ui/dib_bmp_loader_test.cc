#include <gtest/gtest.h>

#include <cstring>

#include "base/exception.h"
#include "base/hex.h"
#include "demo/bmp_file.h"
#include "platform/bitmap_file.h"
#include "platform/testing/scratch_folder.h"
#include "ui/dib_image_loaders.h"

namespace {

using bmp::Bmp24;
using bmp::BmpHeaders;

std::string DecodeError(const std::string& bytes) {
  DibSection image;
  try {
    DibBmpLoader::DecodeBmp(&image, bytes.empty() ? "" : bytes.data(),
                            static_cast<std::uint32_t>(bytes.size()));
  } catch (const Exception& failure) {
    EXPECT_TRUE(failure.IsError());
    EXPECT_FALSE(image.HasBitmap());
    return failure.GetText();
  }
  return "accepted";
}

// Blue, green, red of the picture's pixel at column x, row y from the top.
std::uint32_t PixelAt(const DibSection& image, int x, int y) {
  const std::uint8_t* p = image.GetRow(image.GetHeight() - 1 - y) + x * image.GetBytesPerPixel();
  return p[2] << 16 | p[1] << 8 | p[0];
}

// The one table of the decoder's refusals with their exact texts, in the order of its checks.
TEST(DibBmpLoaderTest, RefusalsInTheOrderOfItsChecks) {
  const std::string good = Bmp24(2, 2, {1, 2, 3, 4});
  std::string far = Bmp24(1, 1, {0});
  far[13] = '\x7F';  // a pixel offset past the end of the file
  const std::string short_size = "Data size error.", size = "Data Size Error.",
                    image_size = "Image Size Error.", format = "未対応のカラーフォーマット",
                    compression = "圧縮形式は非対応";
  const std::pair<std::string, std::string> cases[] = {
      {"", short_size},
      {"BX" + good.substr(2), "Not Bitmap File."},
      // The header size is checked as soon as it is there, before the rest of the header.
      {BmpHeaders({39, 1, 1}).substr(0, 18), size},
      {BmpHeaders({39, 1, 1, 24, 0, 0}), size},
      // The bit count is checked before compression and palette.
      {BmpHeaders({40, 1, 1, 1, 1, 2}) + std::string(8, 0), format},
      {BmpHeaders({40, 1, 1, 16, 1, 2}) + std::string(8, 0), format},
      {BmpHeaders({40, 1, 1, 48, 1, 2}) + std::string(8, 0), format},
      {BmpHeaders({40, 1, 1, 32, 3, 2}) + std::string(4, 0), compression},
      {BmpHeaders({40, 1, 1, 8, 1, 0}) + std::string(4, 0), compression},
      {BmpHeaders({40, 1, 1, 8, 0, 256}) + std::string(4, 0), "カラーパレットには非対応"},
      {good.substr(0, good.size() - 1), size},
      // An 8-bit image would need its palette: no bitmap is made and nothing is copied.
      {BmpHeaders({40, 4, 1, 8, 0, 0}) + std::string(4, 0), "Bitmap Create Error."},
      // Sizes that cannot be met are refused before any memory is taken.
      {BmpHeaders({40, 0, 1}), image_size},
      {BmpHeaders({40, -3, 1}), image_size},
      {BmpHeaders({40, 1, INT32_MIN}), image_size},
      {BmpHeaders({40, 0x7FFFFFFF, 0x7FFFFFFF}) + "abcd", size},
      {BmpHeaders({40, 0x55555556, 2, 24}) + "abcd", size},
      {far, size},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(DecodeError(bytes), "DibBmpLoader : " + text) << testing::PrintToString(bytes);
  }
  // Every cut inside the 54 header bytes is refused, "BM" read first.
  for (size_t cut : {1, 2, 5, 9, 13, 17, 21, 29, 45, 53}) {
    EXPECT_EQ(DecodeError(good.substr(0, cut)), "DibBmpLoader : " + short_size) << cut;
  }
  DibSection image;
  EXPECT_THROW(DibBmpLoader::DecodeBmp(&image, nullptr, 10), Exception);
}

TEST(DibBmpLoaderTest, PaddedRowsNewerHeadersThirtyTwoBitsAndTopDown) {
  for (int width : {1, 2, 3}) {
    for (std::uint32_t header : {40u, 108u, 124u}) {
      std::vector<std::uint32_t> pixels;
      for (int i = 0; i < width * 2; ++i) pixels.push_back(0x102030u * (i + 1));
      const std::string bmp = Bmp24(width, 2, pixels, header);
      DibSection image;
      ASSERT_TRUE(DibBmpLoader::DecodeBmp(&image, bmp.data(), std::uint32_t(bmp.size())));
      EXPECT_EQ(image.GetHeight(), 2);
      EXPECT_EQ(image.GetStride(), size_t((3 * width + 3) / 4 * 4));
      for (int i = 0; i < width * 2; ++i) {
        EXPECT_EQ(PixelAt(image, i % width, i / width), pixels[i]) << width << " " << header;
      }
    }
  }
  const std::string bmp = BmpHeaders({40, 2, 1, 32}) + std::string("\1\2\3\xFF\4\5\6\0", 8);
  DibSection image;
  ASSERT_TRUE(DibBmpLoader::DecodeBmp(&image, bmp.data(), std::uint32_t(bmp.size())));
  EXPECT_EQ(PixelAt(image, 1, 0), 0x060504u);
  EXPECT_EQ(image.GetKeyColor(), 0xFF030201u);
  EXPECT_EQ(image.GetHeader().compression, kBiBitfields);
  EXPECT_EQ(image.GetMasks()[0], 0xFF0000u);
  // Rows stored top-down (negative height) come out in the picture's order.
  const std::string down = BmpHeaders({40, 1, -2, 24}) + std::string("\xA\xB\xC\0\1\2\3\0", 8);
  ASSERT_TRUE(DibBmpLoader::DecodeBmp(&image, down.data(), std::uint32_t(down.size())));
  EXPECT_EQ(PixelAt(image, 0, 0), 0x0C0B0Au);
  EXPECT_EQ(PixelAt(image, 0, 1), 0x030201u);
}

// A skin on disk that the decoder refuses (a palette) is the system's to read where it has a
// loader: the dialog then gets it as a 32-bit picture. Where there is none, the load fails.
TEST(DibBmpLoaderTest, APaletteSkinOnDiskComesFromTheSystemsLoaderWhereThereIsOne) {
  const char kTwoByTwo[] =
      "424d46000000000000003e00000028000000020000000200000001000800000000000000000000000000000000"
      "00020000000000000010203000ffffff000001000001000000";
  std::vector<std::uint8_t> bytes(sizeof kTwoByTwo / 2);
  ASSERT_TRUE(DecodeHex(kTwoByTwo, bytes));
  const test_support::TempFolder folder;
  folder.Write("skin.bmp", std::string(bytes.begin(), bytes.end()));
  DibSection image;
  const bool loaded = DibBmpLoader::LoadFromFile(&image, folder.Path("skin.bmp"));
  ASSERT_EQ(loaded, platform::LoadSystemBitmap(folder.Path("skin.bmp")).has_value());
  if (!loaded) return;
  EXPECT_EQ(image.GetBytesPerPixel(), 4);
  EXPECT_EQ(PixelAt(image, 0, 0), 0xFFFFFFu);
  EXPECT_EQ(PixelAt(image, 1, 0), 0x302010u);
  EXPECT_EQ(PixelAt(image, 0, 1), 0x302010u);
}

}  // namespace
