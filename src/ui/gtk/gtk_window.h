// The GTK view's window. Internal to src/ui/gtk: the rest of the program sees IDialogView only.
// Everything runs on the thread that created the view, inside GTK's main loop.
#pragma once

#include <gtk/gtk.h>

#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ui/dialog_view.h"

namespace ui_gtk {

class GtkView : public IDialogView {
 public:
  GtkView();
  ~GtkView() override;
  GtkView(const GtkView&) = delete;
  GtkView& operator=(const GtkView&) = delete;

  bool HasControl(int id) const override { return controls_.count(id) != 0; }
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

  // Hands an event to the dialog while its loop runs. A handler's exception must not unwind
  // through GTK's C frames: it is kept, the loop ends, and RunModalLoop throws it again.
  void Dispatch(const std::function<void(IDialogEvents&)>& handler);
  GtkWindow* Window() const { return GTK_WINDOW(window_); }
  // Whether a shown control covers the point (window coordinates): presses there are the
  // control's, not a drag of the window.
  bool IsOnControl(double x, double y) const;
  void PopUpSystemMenu(const GdkEvent* event);

 private:
  struct Bar {
    int lower = 0, upper = 0, position = 0;
  };
  struct Timer {
    GtkView* view;
    int id;
    guint source;
  };

  void CreateControls();
  void AddControl(int id, GtkWidget* widget);
  void ShowBar(int id);
  void QuitLoop();
  static gboolean OnTimeout(gpointer data);
  static gboolean OnCloseRequest(gpointer data);

  GtkWidget* window_ = nullptr;
  GtkWidget* fixed_ = nullptr;
  std::map<int, GtkWidget*> controls_;
  std::map<int, Bar> bars_;
  cairo_surface_t* skin_ = nullptr;
  std::vector<std::pair<unsigned, std::string>> menu_items_;
  std::map<int, std::unique_ptr<Timer>> timers_;
  IDialogEvents* events_ = nullptr;
  GMainLoop* loop_ = nullptr;
  bool ended_ = false;
  int result_ = 0;
  std::exception_ptr failure_;
};

// The skin as a surface cairo can paint (the caller owns it), null for an empty image.
cairo_surface_t* SkinSurface(const DibSection& image);
// The window shape; the caller owns it.
cairo_region_t* ShapeRegion(const WindowRegion& region);
// The application icon, or null if it cannot be decoded; the caller owns it.
GdkPixbuf* AppIcon();
// Applies CSS to one widget (and its own parts), replacing what was applied to it before.
void SetWidgetStyle(GtkWidget* widget, const std::string& css);
// Brings a window to the front with the input focus once it is mapped, as a dialog box is shown
// active; without a window manager nobody else would give it the keyboard.
void FocusWhenMapped(GtkWidget* window);

void RunMessageBox(GtkWindow* parent, const std::string& caption, const std::string& text);
void RunAboutBox(GtkWindow* parent, const AboutBoxText& text);
// The key and mouse handlers of the main window: drag, Enter and Escape, Alt+F4, the window menu.
void ConnectInput(GtkView& view, GtkWidget* window);

}  // namespace ui_gtk
