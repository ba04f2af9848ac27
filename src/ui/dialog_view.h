// The window the updater's dialog talks to. CVarneUpdaterDlg holds all of the behaviour; a view
// only shows what it is told and reports what the user does. Views: the terminal (console/), the
// desktop toolkits, and a recording fake for the tests (testing/).
//
// Every call comes from the user-interface thread, except RequestClose. Message boxes are modal:
// they return when the user has dismissed them.
//
// What a windowed view does on its own: draw the skin unscaled at (0, 0) of a window without
// caption or frame, let the user drag the window by any point of the skin outside the controls,
// report Enter and Escape as OnOK and OnCancel and its close command (Alt+F4) as kCloseCommand.
#pragma once

#include "base/tstring.h"
#include "ui/dib_section.h"
#include "ui/window_region.h"
#include "update/update_driver.h"

struct ViewRect {
  int x, y, width, height;
  bool operator==(const ViewRect&) const = default;
};

// The task text's font: weight 400, no italic, underline or strike-out, default character set and
// pitch, proof quality, no face name; only the cell height and width vary.
struct FontRequest {
  int height, width, weight;
  bool operator==(const FontRequest&) const = default;
};

struct AboutBoxText {
  std::tstring caption;
  std::tstring version_line;
  std::tstring second_line;
};

// What the view reports while its modal loop runs. A handler may throw: the loop then ends and the
// exception leaves RunModalLoop.
class IDialogEvents {
 public:
  virtual void OnTimer(int timer_id) = 0;
  // A button was clicked.
  virtual void OnCommand(int control_id) = 0;
  // A command of the window's system menu, including the close command.
  virtual void OnSysCommand(unsigned command) = 0;
  // Enter and Escape.
  virtual void OnOK() = 0;
  virtual void OnCancel() = 0;

 protected:
  ~IDialogEvents() = default;
};

class IDialogView {
 public:
  // The close command of the system menu (Alt+F4).
  static constexpr unsigned kCloseCommand = 0xF060;

  virtual ~IDialogView() = default;

  virtual bool HasControl(int id) const = 0;
  virtual void MoveControl(int id, const ViewRect& rect) = 0;
  virtual void EnableControl(int id, bool enable) = 0;
  virtual void SetBarRange(int id, int lower, int upper) = 0;
  virtual void SetBarPosition(int id, int position) = 0;
  virtual void SetControlText(int id, const std::tstring& text) = 0;
  virtual void SetControlFont(int id, const FontRequest& font) = 0;
  // The run's figures behind the bars, for a view that shows more than the bars can (the
  // terminal's bytes, rate and time left); true when it shows the whole update's figures itself.
  // The window keeps to its bars and text, where the dialog shows them.
  virtual bool ShowRunFigures(const RunProgress&) { return false; }

  virtual void SetTitle(const std::tstring& title) = 0;
  virtual void SetIcon(int icon_id) = 0;
  // Appends a separator and the item; a view without a system menu ignores it.
  virtual void AppendSystemMenuItem(unsigned command, const std::tstring& text) = 0;
  // What a system command that the dialog does not handle does in this view.
  virtual void DefaultSysCommand(unsigned command) = 0;
  // Where a window is centred: the screen, less what the system keeps for itself (a task bar)
  // where the view knows it.
  virtual ViewRect GetDesktopArea() const = 0;
  virtual void SetWindowRect(const ViewRect& rect) = 0;
  // The picture the window shows; it stays valid until the modal loop has ended.
  virtual void SetSkin(const DibSection* image) = 0;
  virtual void SetWindowRegion(const WindowRegion& region) = 0;

  // OK only, no icon.
  virtual void ShowMessageBox(const std::tstring& caption, const std::tstring& text) = 0;
  virtual void ShowAboutBox(const AboutBoxText& text) = 0;

  // One timer per id; starting a running timer restarts it.
  virtual void StartTimer(int id, int period_ms) = 0;
  virtual void StopTimer(int id) = 0;
  // Shows the window and reports events to `events` until EndDialog or PostQuit; returns the
  // result given to EndDialog, or -1 when a posted quit ended the loop.
  virtual int RunModalLoop(IDialogEvents& events) = 0;
  virtual void EndDialog(int result) = 0;
  virtual void PostQuit(int code) = 0;
  // From any thread: the close command reaches the dialog from the modal loop as soon as it can,
  // as if the user had closed the window (the process is asked to end). Without a loop, nothing.
  virtual void RequestClose() = 0;
};
