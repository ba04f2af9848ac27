#include <gtest/gtest.h>

#include "demo/bmp_file.h"
#include "ui/dib_image_loaders.h"

namespace {

constexpr std::uint32_t K = 0xFF00FF;  // the key colour of these pictures
constexpr std::uint32_t W = 0xFFFFFF;

DibSection Decoded(int width, int height, const std::vector<std::uint32_t>& pixels) {
  const std::string bmp = bmp::Bmp24(width, height, pixels);
  DibSection image;
  DibBmpLoader::DecodeBmp(&image, bmp.data(), static_cast<std::uint32_t>(bmp.size()));
  return image;
}

TEST(DibSectionTest, RegionOfASmallSkin) {
  // clang-format off
  const DibSection image = Decoded(5, 4, {
      K, W, W, K, K,
      K, K, K, K, K,
      W, K, W, W, K,
      W, W, W, W, W,
  });
  // clang-format on
  EXPECT_EQ(image.GetKeyColor(), 0xFFFF00FFu);
  const auto region = image.CreateRegion(image.GetKeyColor());
  ASSERT_TRUE(region);
  const std::vector<RegionRect> expected = {{1, 0, 3, 1}, {0, 2, 1, 3}, {2, 2, 4, 3}, {0, 3, 5, 4}};
  EXPECT_EQ(region->rects, expected);
  EXPECT_EQ(region->bounds, (RegionRect{0, 0, 5, 4}));
}

TEST(DibSectionTest, KeyOnlyImagesAndImagesWithoutAKey) {
  const DibSection keyed = Decoded(3, 2, std::vector<std::uint32_t>(6, 0x123456));
  const auto empty = keyed.CreateRegion(keyed.GetKeyColor());
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->rects.empty());

  // Only blue, green and red take part, whatever the key's top byte.
  const DibSection other = Decoded(2, 1, {0x123456, 0x654321});
  EXPECT_EQ(other.CreateRegion(0x00123456)->rects, (std::vector<RegionRect>{{1, 0, 2, 1}}));

  DibSection sixteen;
  ASSERT_TRUE(sixteen.Create(16, 4, 4));
  EXPECT_EQ(sixteen.GetMasks()[0], 0x7C00u);
  EXPECT_EQ(sixteen.GetKeyColor(), 0u);
  EXPECT_FALSE(sixteen.CreateRegion(0));
  EXPECT_FALSE(DibSection().CreateRegion(0));
}

}  // namespace
