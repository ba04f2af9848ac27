// BMP files written byte by byte for the image and dialog tests and the demo skin.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bmp {

struct BmpHeader {
  std::uint32_t header_size = 40;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::uint16_t bit_count = 24;
  std::uint32_t compression = 0;
  std::uint32_t colors_used = 0;
};

// The file and DIB headers (the DIB header as long as header_size says), pixel data following.
std::string BmpHeaders(const BmpHeader& header);

// A 24-bit bottom-up BMP of pixels given top row first as 0xRRGGBB, rows padded to 4 bytes.
std::string Bmp24(int width, int height, const std::vector<std::uint32_t>& pixels,
                  std::uint32_t header_size = 40);

}  // namespace bmp
