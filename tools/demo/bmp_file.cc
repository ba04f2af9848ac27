#include "demo/bmp_file.h"

#include <algorithm>

namespace bmp {

namespace {

void Put(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

std::string BmpHeaders(const BmpHeader& header) {
  std::string out = "BM";
  Put(out, 0, 4);  // file size: Bmp24 fills it in; the loader does not read it
  Put(out, 0, 4);
  Put(out, 14 + header.header_size, 4);
  Put(out, header.header_size, 4);
  Put(out, static_cast<std::uint32_t>(header.width), 4);
  Put(out, static_cast<std::uint32_t>(header.height), 4);
  Put(out, 1, 2);
  Put(out, header.bit_count, 2);
  Put(out, header.compression, 4);
  out.append(12, '\0');  // image size and resolutions, not read
  Put(out, header.colors_used, 4);
  Put(out, 0, 4);
  out.resize(14 + std::max<std::uint32_t>(header.header_size, 40), '\0');
  return out;
}

std::string Bmp24(int width, int height, const std::vector<std::uint32_t>& pixels,
                  std::uint32_t header_size) {
  std::string out = BmpHeaders({header_size, width, height, 24, 0, 0});
  const int padding = (4 - (3 * width) % 4) % 4;
  for (int row = height - 1; row >= 0; --row) {
    for (int x = 0; x < width; ++x) Put(out, pixels[row * width + x], 3);
    out.append(padding, '\0');
  }
  const auto file_size = static_cast<std::uint32_t>(out.size());
  for (int i = 0; i < 4; ++i) out[2 + i] = static_cast<char>(file_size >> (8 * i));
  return out;
}

}  // namespace bmp
