#include "platform/bitmap_file.h"

#include <windows.h>

#include "platform/file.h"
#include "platform/win32/wide.h"

namespace platform {

std::optional<SystemBitmap> LoadSystemBitmap(const std::string& path) {
  const HANDLE image = LoadImageW(nullptr, Wide(ResolvePath(path)).c_str(), IMAGE_BITMAP, 0, 0,
                                  LR_LOADFROMFILE | LR_CREATEDIBSECTION);
  if (image == nullptr) return std::nullopt;
  const HBITMAP bitmap = static_cast<HBITMAP>(image);
  BITMAP described{};
  std::optional<SystemBitmap> result;
  if (GetObjectW(bitmap, sizeof described, &described) == sizeof described &&
      described.bmWidth > 0 && described.bmHeight > 0 &&
      std::uint64_t{4} * std::uint64_t(described.bmWidth) * std::uint64_t(described.bmHeight) <=
          0x7FFFFFFF) {
    // Whatever the file's depth, the pixels come out as 32-bit bottom-up rows.
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = described.bmWidth;
    format.bmiHeader.biHeight = described.bmHeight;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    SystemBitmap picture{described.bmWidth, described.bmHeight, {}};
    picture.pixels.resize(std::size_t{4} * static_cast<std::size_t>(picture.width) *
                          static_cast<std::size_t>(picture.height));
    const HDC screen = GetDC(nullptr);
    if (GetDIBits(screen, bitmap, 0, static_cast<UINT>(picture.height), picture.pixels.data(),
                  &format, DIB_RGB_COLORS) == picture.height) {
      result = std::move(picture);
    }
    ReleaseDC(nullptr, screen);
  }
  DeleteObject(bitmap);
  return result;
}

}  // namespace platform
