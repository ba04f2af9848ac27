#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "base/exception.h"
#include "engine_harness.h"
#include "ui/bmp_file.h"
#include "ui/dib_image_loaders.h"

namespace {

using bmp::Bmp24;
using bmp::BmpHeader;
using bmp::BmpHeaders;
using test_support::InstallFolder;

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

TEST(DibBmpLoaderTest, RefusesInTheOrderOfItsChecks) {
  const std::string good = Bmp24(2, 2, {1, 2, 3, 4});
  const std::string prefix = "DibBmpLoader : ";
  DibSection image;
  EXPECT_THROW(DibBmpLoader::DecodeBmp(&image, nullptr, 10), Exception);
  EXPECT_EQ(DecodeError(""), prefix + "Data size error.");
  EXPECT_EQ(DecodeError("B"), prefix + "Data size error.");
  EXPECT_EQ(DecodeError("BX" + good.substr(2)), prefix + "Not Bitmap File.");
  // Every cut inside the 54 header bytes is refused, "BM" read first.
  for (size_t size : {2, 5, 9, 13, 17, 21, 29, 45, 53}) {
    EXPECT_EQ(DecodeError(good.substr(0, size)), prefix + "Data size error.") << size;
  }
  // The header size is checked as soon as it is there, before the rest of the header.
  EXPECT_EQ(DecodeError(BmpHeaders({39, 1, 1}).substr(0, 18)), prefix + "Data Size Error.");
  EXPECT_EQ(DecodeError(BmpHeaders({39, 1, 1, 24, 0, 0})), prefix + "Data Size Error.");
  for (std::uint16_t bits : {1, 4, 16, 0, 48}) {
    // The bit count is checked before compression and palette.
    EXPECT_EQ(DecodeError(BmpHeaders({40, 1, 1, bits, 1, 2}) + std::string(8, 0)),
              prefix + "未対応のカラーフォーマット")
        << bits;
  }
  EXPECT_EQ(DecodeError(BmpHeaders({40, 1, 1, 32, 3, 2}) + std::string(4, 0)),
            prefix + "圧縮形式は非対応");
  EXPECT_EQ(DecodeError(BmpHeaders({40, 1, 1, 8, 1, 0}) + std::string(4, 0)),
            prefix + "圧縮形式は非対応");
  EXPECT_EQ(DecodeError(BmpHeaders({40, 1, 1, 8, 0, 256}) + std::string(4, 0)),
            prefix + "カラーパレットには非対応");
  EXPECT_EQ(DecodeError(good.substr(0, good.size() - 1)), prefix + "Data Size Error.");
  // An 8-bit image would need its palette: no bitmap is made and nothing is copied.
  EXPECT_EQ(DecodeError(BmpHeaders({40, 4, 1, 8, 0, 0}) + std::string(4, 0)),
            prefix + "Bitmap Create Error.");
}

TEST(DibBmpLoaderTest, SizesThatCannotBeMetAreRefusedBeforeAnyMemoryIsTaken) {
  const std::string prefix = "DibBmpLoader : ";
  EXPECT_EQ(DecodeError(BmpHeaders({40, 0, 1})), prefix + "Image Size Error.");
  EXPECT_EQ(DecodeError(BmpHeaders({40, -3, 1})), prefix + "Image Size Error.");
  EXPECT_EQ(DecodeError(BmpHeaders({40, 1, 0})), prefix + "Image Size Error.");
  EXPECT_EQ(DecodeError(BmpHeaders({40, 1, INT32_MIN})), prefix + "Image Size Error.");
  // Sizes whose products overflow 32 bits, with a few bytes of pixels.
  EXPECT_EQ(DecodeError(BmpHeaders({40, 0x7FFFFFFF, 0x7FFFFFFF}) + "abcd"),
            prefix + "Data Size Error.");
  EXPECT_EQ(DecodeError(BmpHeaders({40, 0x55555556, 2, 24}) + "abcd"), prefix + "Data Size Error.");
  // A pixel offset past the end of the file.
  std::string far = Bmp24(1, 1, {0});
  far[13] = '\x7F';
  EXPECT_EQ(DecodeError(far), prefix + "Data Size Error.");
}

TEST(DibBmpLoaderTest, CopiesPaddedRowsOfNarrowImagesAndNewerHeaders) {
  for (int width : {1, 2, 3}) {
    for (std::uint32_t header : {40u, 108u, 124u}) {
      std::vector<std::uint32_t> pixels;
      for (int i = 0; i < width * 2; ++i) pixels.push_back(0x102030u * (i + 1));
      const std::string bmp = Bmp24(width, 2, pixels, header);
      DibSection image;
      ASSERT_TRUE(DibBmpLoader::DecodeBmp(&image, bmp.data(), std::uint32_t(bmp.size())));
      EXPECT_EQ(image.GetWidth(), width);
      EXPECT_EQ(image.GetHeight(), 2);
      EXPECT_EQ(image.GetStride(), size_t((3 * width + 3) / 4 * 4));
      EXPECT_EQ(image.GetHeader().bit_count, 24);
      for (int i = 0; i < width * 2; ++i) {
        EXPECT_EQ(PixelAt(image, i % width, i / width), pixels[i]) << width << " " << header;
      }
    }
  }
}

TEST(DibBmpLoaderTest, ThirtyTwoBitAndTopDownImages) {
  std::string bmp = BmpHeaders({40, 2, 1, 32});
  bmp += std::string("\x01\x02\x03\xFF\x04\x05\x06\x00", 8);
  DibSection image;
  ASSERT_TRUE(DibBmpLoader::DecodeBmp(&image, bmp.data(), std::uint32_t(bmp.size())));
  EXPECT_EQ(PixelAt(image, 1, 0), 0x060504u);
  EXPECT_EQ(image.GetKeyColor(), 0xFF030201u);
  EXPECT_EQ(image.GetHeader().compression, kBiBitfields);
  EXPECT_EQ(image.GetMasks()[0], 0xFF0000u);

  // Rows stored top-down (negative height) come out in the picture's order.
  std::string down = BmpHeaders({40, 1, -2, 24});
  down += std::string("\x0A\x0B\x0C\x00\x01\x02\x03\x00", 8);
  ASSERT_TRUE(DibBmpLoader::DecodeBmp(&image, down.data(), std::uint32_t(down.size())));
  EXPECT_EQ(image.GetHeight(), 2);
  EXPECT_EQ(PixelAt(image, 0, 0), 0x0C0B0Au);
  EXPECT_EQ(PixelAt(image, 0, 1), 0x030201u);
}

TEST(DibSectionLoadTest, FromDiskFromThePackageAndNeither) {
  InstallFolder install;
  const std::string disk = Bmp24(1, 1, {0x112233});
  const std::string packed = Bmp24(2, 1, {0x445566, 0x778899});
  install.Write("skin.bmp", disk);
  install.Write("broken.bmp", disk.substr(0, 40));
  install.Write("RV7.VPK", test_support::PackageOf("packed.bmp", packed));
  Singleton<VarneFileManager>::GetInstance()->ReadPackage(".\\RV7.vpk");

  DibSection image;
  EXPECT_EQ(image.Load("skin.bmp", true), kResultOk);
  EXPECT_EQ(PixelAt(image, 0, 0), 0x112233u);
  // Without a disk file, or asked to skip the disk, the file manager's file is read.
  EXPECT_EQ(image.Load("packed.bmp", true), kResultOk);
  EXPECT_EQ(PixelAt(image, 1, 0), 0x778899u);
  // A file only on disk is not found when the disk is skipped; a broken one is not accepted.
  const std::pair<const char*, bool> failures[] = {
      {"skin.bmp", false}, {"broken.bmp", true}, {"missing.bmp", true}};
  for (const auto& [name, try_file_first] : failures) {
    ASSERT_EQ(image.Load("skin.bmp", true), kResultOk);
    try {
      image.Load(name, try_file_first);
      ADD_FAILURE() << name;
    } catch (const Exception& failure) {
      EXPECT_EQ(failure.GetText(), std::string("DibSection : Image Load Error : ") + name);
    }
    EXPECT_FALSE(image.HasBitmap()) << name;
  }
}

}  // namespace
