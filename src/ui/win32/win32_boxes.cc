// The modal boxes, and the conversions the window shares with them.
#include <cstring>
#include <vector>

#include "platform/text.h"
#include "res/resource.h"
#include "ui/win32/win32_window.h"

namespace ui_win32 {
namespace {

INT_PTR CALLBACK AboutProc(HWND box, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    const auto& text = *reinterpret_cast<const AboutBoxText*>(lparam);
    SetWindowTextW(box, Wide(text.caption).c_str());
    // The template's two text lines carry no ids: they are its static children that show text.
    const std::string* lines[] = {&text.version_line, &text.second_line};
    int next = 0;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr && next < 2;
         child = GetWindow(child, GW_HWNDNEXT)) {
      wchar_t kind[16] = {};
      GetClassNameW(child, kind, 16);
      const bool icon = (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
      if (lstrcmpiW(kind, L"Static") == 0 && !icon) {
        SetWindowTextW(child, Wide(*lines[next++]).c_str());
      }
    }
    return TRUE;
  }
  if (message == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
    EndDialog(box, LOWORD(wparam));
    return TRUE;
  }
  return FALSE;
}

}  // namespace

std::wstring Wide(const std::string& text) {
  const std::u16string wide = platform::AnsiToWide(text);
  return std::wstring(wide.begin(), wide.end());
}

void RunMessageBox(HWND owner, const std::string& caption, const std::string& text) {
  // OK only and no icon. Without an owner the box must still come to the front by itself.
  MessageBoxW(owner, Wide(text).c_str(), Wide(caption).c_str(),
              MB_OK | (owner == nullptr ? MB_SETFOREGROUND : 0));
}

void RunAboutBox(HWND owner, const AboutBoxText& text) {
  DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUTBOX), owner, &AboutProc,
                  reinterpret_cast<LPARAM>(&text));
}

HBITMAP SkinBitmap(const DibSection& image) {
  if (!image.HasBitmap()) return nullptr;
  // The header and the three masks form the bitmap-info block the system reads.
  struct {
    BITMAPINFOHEADER header;
    DWORD masks[3];
  } info{};
  static_assert(sizeof(BITMAPINFOHEADER) == sizeof(BitmapInfoHeader));
  std::memcpy(&info.header, &image.GetHeader(), sizeof info.header);
  std::memcpy(info.masks, image.GetMasks().data(), sizeof info.masks);
  void* pixels = nullptr;
  HDC screen = GetDC(nullptr);
  HBITMAP bitmap = CreateDIBSection(screen, reinterpret_cast<const BITMAPINFO*>(&info),
                                    DIB_RGB_COLORS, &pixels, nullptr, 0);
  ReleaseDC(nullptr, screen);
  if (bitmap == nullptr) return nullptr;
  std::memcpy(pixels, image.GetRow(0), image.GetStride() * image.GetHeight());
  return bitmap;
}

HRGN ShapeRegion(const WindowRegion& region) {
  std::vector<std::byte> data(sizeof(RGNDATAHEADER) + sizeof(RECT) * region.rects.size());
  auto* header = reinterpret_cast<RGNDATAHEADER*>(data.data());
  header->dwSize = sizeof(RGNDATAHEADER);
  header->iType = RDH_RECTANGLES;
  header->nCount = static_cast<DWORD>(region.rects.size());
  header->rcBound = {region.bounds.left, region.bounds.top, region.bounds.right,
                     region.bounds.bottom};
  auto* rects = reinterpret_cast<RECT*>(data.data() + sizeof(RGNDATAHEADER));
  for (const RegionRect& rect : region.rects) {
    *rects++ = {rect.left, rect.top, rect.right, rect.bottom};
  }
  return ExtCreateRegion(nullptr, static_cast<DWORD>(data.size()),
                         reinterpret_cast<const RGNDATA*>(data.data()));
}

}  // namespace ui_win32
