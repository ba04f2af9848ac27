#include "ui/window_view.h"

// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <utility>

#include "res/resource.h"
#include "ui/win32/win32_window.h"

namespace ui_win32 {
namespace {

// Posted by RequestClose: the close command, once the loop runs it.
constexpr UINT kCloseRequest = WM_APP + 1;

INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  // The view takes the window once it has been made; until then the system's defaults answer.
  if (message == WM_INITDIALOG) return FALSE;
  auto* view = reinterpret_cast<Win32View*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  return view != nullptr && view->Handle(message, wparam, lparam);
}

// Answers a message whose result is not the dialog procedure's TRUE.
bool Answer(HWND window, LRESULT result) {
  SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
  return true;
}

}  // namespace

Win32View::Win32View(HWND window) : window_(window) {
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

Win32View::~Win32View() {
  SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
  DestroyWindow(window_);
  if (skin_ != nullptr) DeleteObject(skin_);
  if (font_ != nullptr) DeleteObject(font_);
  if (icon_ != nullptr) DestroyIcon(icon_);
}

void Win32View::MoveControl(int id, const ViewRect& rect) {
  MoveWindow(GetDlgItem(window_, id), rect.x, rect.y, rect.width, rect.height, TRUE);
}

void Win32View::EnableControl(int id, bool enable) {
  EnableWindow(GetDlgItem(window_, id), enable ? TRUE : FALSE);
}

void Win32View::SetBarRange(int id, int lower, int upper) {
  SendDlgItemMessageW(window_, id, PBM_SETRANGE32, static_cast<WPARAM>(lower), upper);
}

void Win32View::SetBarPosition(int id, int position) {
  SendDlgItemMessageW(window_, id, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void Win32View::SetControlText(int id, const std::tstring& text) {
  SetDlgItemTextW(window_, id, Wide(text).c_str());
}

void Win32View::SetControlFont(int id, const FontRequest& font) {
  if (!HasControl(id)) return;
  HFONT created = CreateFontW(font.height, font.width, 0, 0, font.weight, FALSE, FALSE, FALSE,
                              DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                              PROOF_QUALITY, DEFAULT_PITCH | FF_DONTCARE, nullptr);
  if (created == nullptr) return;
  SendDlgItemMessageW(window_, id, WM_SETFONT, reinterpret_cast<WPARAM>(created), TRUE);
  // The control only borrows the font: the previous one may go once it has the new one.
  if (font_ != nullptr) DeleteObject(font_);
  font_ = created;
}

void Win32View::SetTitle(const std::tstring& title) {
  SetWindowTextW(window_, Wide(title).c_str());
}

void Win32View::SetIcon(int icon_id) {
  HICON icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(icon_id),
                                             IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
  if (icon == nullptr) return;
  SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  if (icon_ != nullptr) DestroyIcon(icon_);
  icon_ = icon;
}

void Win32View::AppendSystemMenuItem(unsigned command, const std::tstring& text) {
  HMENU menu = GetSystemMenu(window_, FALSE);
  if (menu == nullptr) return;
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, command, Wide(text).c_str());
}

void Win32View::DefaultSysCommand(unsigned /*command*/) {
  // The command is on its way through the dialog procedure, which leaves it to the system.
  wants_default_ = true;
}

// The work area: the screen less the task bar, where a window shows whole.
ViewRect Win32View::GetDesktopArea() const {
  RECT area{};
  if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0))
    GetWindowRect(GetDesktopWindow(), &area);
  return {area.left, area.top, area.right - area.left, area.bottom - area.top};
}

void Win32View::SetWindowRect(const ViewRect& rect) {
  SetWindowPos(window_, nullptr, rect.x, rect.y, rect.width, rect.height,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32View::SetSkin(const DibSection* image) {
  if (skin_ != nullptr) DeleteObject(skin_);
  skin_ = image != nullptr ? SkinBitmap(*image) : nullptr;
  InvalidateRect(window_, nullptr, TRUE);
}

void Win32View::SetWindowRegion(const WindowRegion& region) {
  // The window owns the region from here on.
  if (HRGN shape = ShapeRegion(region)) SetWindowRgn(window_, shape, TRUE);
}

void Win32View::ShowMessageBox(const std::tstring& caption, const std::tstring& text) {
  RunMessageBox(IsWindowVisible(window_) ? window_ : nullptr, caption, text);
}

void Win32View::ShowAboutBox(const AboutBoxText& text) { RunAboutBox(window_, text); }

void Win32View::StartTimer(int id, int period_ms) {
  SetTimer(window_, static_cast<UINT_PTR>(id), static_cast<UINT>(period_ms), nullptr);
}

void Win32View::StopTimer(int id) { KillTimer(window_, static_cast<UINT_PTR>(id)); }

int Win32View::RunModalLoop(IDialogEvents& events) {
  events_ = &events;
  failure_ = nullptr;
  ShowWindow(window_, SW_SHOW);
  SetForegroundWindow(window_);
  MSG message;
  while (!ended_ && GetMessageW(&message, nullptr, 0, 0) > 0) {
    // Keys reach the dialog as it expects: Enter and Escape as IDOK and IDCANCEL, Tab moves.
    if (IsDialogMessageW(window_, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  events_ = nullptr;
  // The dialog is gone for the user now, even though the process may still show a box.
  ShowWindow(window_, SW_HIDE);
  ended_ = false;
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  return result_;
}

void Win32View::EndDialog(int result) { End(result); }

// The loop ends on its own flag rather than on WM_QUIT, which would also end the start-up's
// boxes that come after it.
void Win32View::PostQuit(int /*code*/) { End(-1); }

void Win32View::End(int result) {
  if (!ended_) result_ = result;
  ended_ = true;
  PostMessageW(window_, WM_NULL, 0, 0);  // wakes the loop
}

void Win32View::RequestClose() { PostMessageW(window_, kCloseRequest, 0, 0); }

void Win32View::Dispatch(const std::function<void(IDialogEvents&)>& handler) {
  if (events_ == nullptr || failure_) return;
  try {
    handler(*events_);
  } catch (...) {
    failure_ = std::current_exception();
    End(result_);
  }
}

bool Win32View::Handle(UINT message, WPARAM wparam, LPARAM /*lparam*/) {
  switch (message) {
    case WM_TIMER:
      Dispatch([id = static_cast<int>(wparam)](IDialogEvents& events) { events.OnTimer(id); });
      return true;
    case WM_COMMAND: {
      if (HIWORD(wparam) != BN_CLICKED) return false;
      const int id = LOWORD(wparam);
      Dispatch([id](IDialogEvents& events) {
        if (id == IDOK) {
          events.OnOK();
        } else if (id == IDCANCEL) {
          events.OnCancel();
        } else {
          events.OnCommand(id);
        }
      });
      return true;
    }
    case WM_SYSCOMMAND: {
      if (events_ == nullptr) return false;
      wants_default_ = false;
      const auto command = static_cast<unsigned>(wparam);
      Dispatch([command](IDialogEvents& events) { events.OnSysCommand(command); });
      return !std::exchange(wants_default_, false);
    }
    case WM_CLOSE:
    case kCloseRequest:
      Dispatch([](IDialogEvents& events) { events.OnSysCommand(kCloseCommand); });
      return true;
    case WM_ACTIVATE:
      // Activated from elsewhere (a second copy brings this one forward), the window comes to the
      // top as well: a desktop that does not restack on activation (Wine without a window
      // manager) would leave it under the window that covered it.
      if (LOWORD(wparam) != WA_INACTIVE) {
        SetWindowPos(window_, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
      }
      return false;
    case WM_NCHITTEST:
      // The whole skin acts as the caption: pressing anywhere on it moves the window. The
      // controls are windows of their own and answer for themselves.
      return Answer(window_, HTCAPTION);
    case WM_ERASEBKGND:
      return skin_ != nullptr && Answer(window_, 1);  // the skin covers everything
    case WM_PAINT:
      Paint();
      return true;
    default:
      return false;
  }
}

void Win32View::Paint() {
  PAINTSTRUCT paint;
  HDC target = BeginPaint(window_, &paint);
  if (skin_ != nullptr) {
    BITMAP size{};
    GetObjectW(skin_, sizeof size, &size);
    HDC memory = CreateCompatibleDC(target);
    HGDIOBJ previous = SelectObject(memory, skin_);
    // Unscaled at the origin: the layout's coordinates are pixels of the skin.
    BitBlt(target, 0, 0, size.bmWidth, size.bmHeight, memory, 0, 0, SRCCOPY);
    SelectObject(memory, previous);
    DeleteDC(memory);
  }
  EndPaint(window_, &paint);
}

}  // namespace ui_win32

std::unique_ptr<IDialogView> CreateWindowView(std::string& why_not) {
  why_not.clear();
  const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  HWND window = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_UPDATER_DIALOG),
                                   nullptr, &ui_win32::DialogProc, 0);
  if (window == nullptr) {
    why_not = "the window cannot be created (error " + std::to_string(GetLastError()) + ")";
    return nullptr;
  }
  return std::make_unique<ui_win32::Win32View>(window);
}
