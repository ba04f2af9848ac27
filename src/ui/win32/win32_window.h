// The Win32 view's window. Internal to src/ui/win32: the rest of the program sees IDialogView
// only. Everything but RequestClose runs on the thread that created the view.
#pragma once

#include <windows.h>

#include <exception>
#include <functional>
#include <string>

#include "ui/dialog_view.h"

namespace ui_win32 {

class Win32View : public IDialogView {
 public:
  // `window` is the dialog made from the template; the view owns it from here on.
  explicit Win32View(HWND window);
  ~Win32View() override;
  Win32View(const Win32View&) = delete;
  Win32View& operator=(const Win32View&) = delete;

  bool HasControl(int id) const override { return GetDlgItem(window_, id) != nullptr; }
  void MoveControl(int id, const ViewRect& rect) override;
  void EnableControl(int id, bool enable) override;
  void SetBarRange(int id, int lower, int upper) override;
  void SetBarPosition(int id, int position) override;
  void SetControlText(int id, const std::tstring& text) override;
  void SetControlFont(int id, const FontRequest& font) override;
  void SetTitle(const std::tstring& title) override;
  void SetIcon(int icon_id) override;
  void AppendSystemMenuItem(unsigned command, const std::tstring& text) override;
  void DefaultSysCommand(unsigned command) override;
  ViewRect GetDesktopArea() const override;
  void SetWindowRect(const ViewRect& rect) override;
  void SetSkin(const DibSection* image) override;
  void SetWindowRegion(const WindowRegion& region) override;
  void ShowMessageBox(const std::tstring& caption, const std::tstring& text) override;
  void ShowAboutBox(const AboutBoxText& text) override;
  void StartTimer(int id, int period_ms) override;
  void StopTimer(int id) override;
  int RunModalLoop(IDialogEvents& events) override;
  void EndDialog(int result) override;
  void PostQuit(int code) override;
  void RequestClose() override;

  // The dialog procedure's share: answers a message, or false for the system's default handling.
  bool Handle(UINT message, WPARAM wparam, LPARAM lparam);

 private:
  // Hands an event to the dialog while its loop runs. A handler's exception must not unwind
  // through the system's frames: it is kept, the loop ends, and RunModalLoop throws it again.
  void Dispatch(const std::function<void(IDialogEvents&)>& handler);
  void Paint();
  void End(int result);

  HWND window_;
  HBITMAP skin_ = nullptr;
  HFONT font_ = nullptr;
  HICON icon_ = nullptr;
  IDialogEvents* events_ = nullptr;
  bool ended_ = false;
  bool wants_default_ = false;
  int result_ = 0;
  std::exception_ptr failure_;
};

// Narrow text of the system's character set as the wide text of the W functions.
std::wstring Wide(const std::string& text);
// The skin as a DIB section the window can draw (the caller owns it), null for an empty image.
HBITMAP SkinBitmap(const DibSection& image);
// The window shape; the caller owns it until it gives it to a window.
HRGN ShapeRegion(const WindowRegion& region);

void RunMessageBox(HWND owner, const std::string& caption, const std::string& text);
void RunAboutBox(HWND owner, const AboutBoxText& text);

}  // namespace ui_win32
