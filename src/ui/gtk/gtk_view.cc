#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "res/dialog_templates.h"
#include "ui/gtk/gtk_window.h"
#include "ui/window_view.h"

namespace ui_gtk {
namespace {

// The controls are native widgets, whose theme would make them taller than a skin's slots: let
// the layout's rectangles decide their size.
const char kCompactControls[] =
    "window.varne-skin entry { min-height: 0; padding-top: 0; padding-bottom: 0; }"
    "window.varne-skin button { min-height: 0; min-width: 0; padding: 0 4px; }"
    "window.varne-skin progressbar trough, window.varne-skin progressbar progress"
    " { min-height: 0; min-width: 0; }";

void InstallCompactStyle() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  GtkCssProvider* provider = gtk_css_provider_new();
  gtk_css_provider_load_from_data(provider, kCompactControls, -1, nullptr);
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(provider),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(provider);
}

// Dialog units of the template's 9-point font, before the layout moves the controls.
ViewRect TemplateRect(const DialogControlTemplate& control) {
  return {control.x * 3 / 2, control.y * 15 / 8, control.width * 3 / 2, control.height * 15 / 8};
}

GtkWidget* NewControl(const DialogControlTemplate& control) {
  switch (control.kind) {
    case DialogControlTemplate::Kind::kProgressBar:
      return gtk_progress_bar_new();
    case DialogControlTemplate::Kind::kReadOnlyEdit: {
      GtkWidget* entry = gtk_entry_new();
      gtk_editable_set_editable(GTK_EDITABLE(entry), FALSE);
      return entry;
    }
    case DialogControlTemplate::Kind::kPushButton:
      return gtk_button_new_with_label(control.text);
    default:
      return gtk_label_new(control.text);
  }
}

void OnClicked(GtkButton* button, gpointer data) {
  const int id = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(button), "varne-id"));
  static_cast<GtkView*>(data)->Dispatch([id](IDialogEvents& events) { events.OnCommand(id); });
}

gboolean OnDraw(GtkWidget* widget, cairo_t* cr, gpointer data) {
  cairo_surface_t* skin = *static_cast<cairo_surface_t**>(data);
  if (skin == nullptr) {
    gtk_render_background(gtk_widget_get_style_context(widget), cr, 0, 0,
                          gtk_widget_get_allocated_width(widget),
                          gtk_widget_get_allocated_height(widget));
    return FALSE;
  }
  // Unscaled at the origin: the layout's coordinates are pixels of the skin.
  cairo_set_source_surface(cr, skin, 0, 0);
  cairo_paint(cr);
  return FALSE;  // the controls are drawn on top
}

// The view that a close request may still reach: requests come from other threads and are run
// later by the loop, when the view may be gone.
std::atomic<GtkView*> live_view = nullptr;

}  // namespace

GtkView::GtkView() {
  live_view = this;
  InstallCompactStyle();
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_decorated(GTK_WINDOW(window_), FALSE);
  gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
  gtk_widget_set_app_paintable(window_, TRUE);
  gtk_style_context_add_class(gtk_widget_get_style_context(window_), "varne-skin");
  fixed_ = gtk_fixed_new();
  gtk_container_add(GTK_CONTAINER(window_), fixed_);
  g_signal_connect(window_, "draw", G_CALLBACK(OnDraw), &skin_);
  CreateControls();
  ConnectInput(*this, window_);
  FocusWhenMapped(window_);
}

GtkView::~GtkView() {
  GtkView* self = this;
  live_view.compare_exchange_strong(self, nullptr);
  for (const auto& [id, timer] : timers_) g_source_remove(timer->source);
  gtk_widget_destroy(window_);
  if (skin_ != nullptr) cairo_surface_destroy(skin_);
  while (gtk_events_pending()) gtk_main_iteration();
}

void GtkView::CreateControls() {
  for (const DialogControlTemplate& control : kUpdaterDialogControls) {
    GtkWidget* widget = NewControl(control);
    if (control.kind == DialogControlTemplate::Kind::kPushButton) {
      g_object_set_data(G_OBJECT(widget), "varne-id", GINT_TO_POINTER(control.id));
      g_signal_connect(widget, "clicked", G_CALLBACK(OnClicked), this);
    }
    AddControl(control.id, widget);
    MoveControl(control.id, TemplateRect(control));
  }
}

void GtkView::AddControl(int id, GtkWidget* widget) {
  gtk_widget_set_no_show_all(widget, TRUE);
  gtk_fixed_put(GTK_FIXED(fixed_), widget, 0, 0);
  controls_[id] = widget;
  if (GTK_IS_PROGRESS_BAR(widget)) bars_[id] = Bar{};
}

void GtkView::MoveControl(int id, const ViewRect& rect) {
  const auto found = controls_.find(id);
  if (found == controls_.end()) return;
  GtkWidget* widget = found->second;
  gtk_fixed_move(GTK_FIXED(fixed_), widget, rect.x, rect.y);
  gtk_widget_set_size_request(widget, std::max(rect.width, 0), std::max(rect.height, 0));
  // A control of no size is not there to see, as a window of that size would not be.
  gtk_widget_set_visible(widget, rect.width > 0 && rect.height > 0);
  if (GTK_IS_PROGRESS_BAR(widget)) {
    // The trough and its filling take the whole height, less the trough's border.
    SetWidgetStyle(widget, "progressbar trough, progressbar progress { min-height: " +
                               std::to_string(std::max(rect.height - 2, 0)) + "px; }");
  }
}

void GtkView::EnableControl(int id, bool enable) {
  if (HasControl(id)) gtk_widget_set_sensitive(controls_[id], enable);
}

void GtkView::SetBarRange(int id, int lower, int upper) {
  if (bars_.count(id) == 0) return;
  bars_[id].lower = lower;
  bars_[id].upper = upper;
  ShowBar(id);
}

void GtkView::SetBarPosition(int id, int position) {
  if (bars_.count(id) == 0) return;
  bars_[id].position = position;
  ShowBar(id);
}

void GtkView::ShowBar(int id) {
  const Bar& bar = bars_[id];
  double fraction = 0;
  if (bar.upper > bar.lower) {
    fraction = (double(bar.position) - bar.lower) / (double(bar.upper) - bar.lower);
  }
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(controls_[id]), std::clamp(fraction, 0.0, 1.0));
}

void GtkView::SetControlText(int id, const std::tstring& text) {
  if (!HasControl(id)) return;
  GtkWidget* widget = controls_[id];
  if (GTK_IS_ENTRY(widget)) gtk_entry_set_text(GTK_ENTRY(widget), text.c_str());
  if (GTK_IS_BUTTON(widget)) gtk_button_set_label(GTK_BUTTON(widget), text.c_str());
}

void GtkView::SetControlFont(int id, const FontRequest& font) {
  if (!HasControl(id)) return;
  // A positive height is the character cell, leading included; a negative one the characters
  // alone. The cell of the usual faces is about 8/7 of their size. Pango has no width of its own.
  const int size = font.height > 0 ? font.height * 7 / 8 : -font.height;
  if (size <= 0) return;
  SetWidgetStyle(controls_[id], "* { font-size: " + std::to_string(size) + "px; }");
}

void GtkView::SetTitle(const std::tstring& title) {
  gtk_window_set_title(GTK_WINDOW(window_), title.c_str());
}

void GtkView::SetIcon(int /*icon_id*/) {
  // The program has a single icon.
  if (GdkPixbuf* icon = AppIcon()) {
    gtk_window_set_icon(GTK_WINDOW(window_), icon);
    g_object_unref(icon);
  }
}

void GtkView::AppendSystemMenuItem(unsigned command, const std::tstring& text) {
  menu_items_.emplace_back(command, text);
}

void GtkView::DefaultSysCommand(unsigned /*command*/) {}

ViewRect GtkView::GetDesktopArea() const {
  GdkWindow* root = gdk_screen_get_root_window(gdk_screen_get_default());
  return {0, 0, gdk_window_get_width(root), gdk_window_get_height(root)};
}

void GtkView::SetWindowRect(const ViewRect& rect) {
  gtk_widget_set_size_request(fixed_, std::max(rect.width, 1), std::max(rect.height, 1));
  gtk_window_move(GTK_WINDOW(window_), rect.x, rect.y);
  gtk_window_resize(GTK_WINDOW(window_), std::max(rect.width, 1), std::max(rect.height, 1));
}

void GtkView::SetSkin(const DibSection* image) {
  if (skin_ != nullptr) cairo_surface_destroy(skin_);
  skin_ = image != nullptr ? SkinSurface(*image) : nullptr;
  gtk_widget_queue_draw(window_);
}

void GtkView::SetWindowRegion(const WindowRegion& region) {
  cairo_region_t* shape = ShapeRegion(region);
  gtk_widget_shape_combine_region(window_, shape);
  cairo_region_destroy(shape);
}

void GtkView::ShowMessageBox(const std::tstring& caption, const std::tstring& text) {
  GtkWindow* parent = gtk_widget_get_visible(window_) ? Window() : nullptr;
  RunMessageBox(parent, caption, text);
}

void GtkView::ShowAboutBox(const AboutBoxText& text) { RunAboutBox(Window(), text); }

void GtkView::StartTimer(int id, int period_ms) {
  StopTimer(id);
  auto timer = std::make_unique<Timer>(Timer{this, id, 0});
  timer->source =
      g_timeout_add(static_cast<guint>(std::max(period_ms, 1)), &OnTimeout, timer.get());
  timers_[id] = std::move(timer);
}

void GtkView::StopTimer(int id) {
  const auto found = timers_.find(id);
  if (found == timers_.end()) return;
  g_source_remove(found->second->source);
  timers_.erase(found);
}

gboolean GtkView::OnTimeout(gpointer data) {
  // The handler may stop this very timer, which frees `data`: read it first.
  const Timer timer = *static_cast<Timer*>(data);
  timer.view->Dispatch([id = timer.id](IDialogEvents& events) { events.OnTimer(id); });
  return G_SOURCE_CONTINUE;
}

void GtkView::Dispatch(const std::function<void(IDialogEvents&)>& handler) {
  if (events_ == nullptr || failure_) return;
  try {
    handler(*events_);
  } catch (...) {
    failure_ = std::current_exception();
    ended_ = true;
    QuitLoop();
  }
}

bool GtkView::IsOnControl(double x, double y) const {
  for (const auto& [id, widget] : controls_) {
    if (!gtk_widget_get_visible(widget)) continue;
    GtkAllocation box;
    gtk_widget_get_allocation(widget, &box);
    if (x >= box.x && y >= box.y && x < box.x + box.width && y < box.y + box.height) return true;
  }
  return false;
}

int GtkView::RunModalLoop(IDialogEvents& events) {
  events_ = &events;
  failure_ = nullptr;
  gtk_widget_show_all(window_);
  if (!ended_) {
    loop_ = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(loop_);
    g_main_loop_unref(loop_);
    loop_ = nullptr;
  }
  events_ = nullptr;
  // The dialog is gone for the user now, even though the process may still show a box.
  gtk_widget_hide(window_);
  while (gtk_events_pending()) gtk_main_iteration();
  ended_ = false;
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  return result_;
}

void GtkView::EndDialog(int result) {
  if (!ended_) result_ = result;
  ended_ = true;
  QuitLoop();
}

void GtkView::PostQuit(int /*code*/) {
  if (!ended_) result_ = -1;
  ended_ = true;
  QuitLoop();
}

void GtkView::RequestClose() {
  // Attaching a source is safe from any thread, and its call runs in the loop's own thread.
  // (g_main_context_invoke would run it right here whenever no loop holds the context.)
  GSource* source = g_idle_source_new();
  g_source_set_callback(source, &OnCloseRequest, this, nullptr);
  g_source_attach(source, nullptr);
  g_source_unref(source);
}

gboolean GtkView::OnCloseRequest(gpointer data) {
  if (live_view.load() == data) {
    static_cast<GtkView*>(data)->Dispatch(
        [](IDialogEvents& events) { events.OnSysCommand(kCloseCommand); });
  }
  return G_SOURCE_REMOVE;
}

void GtkView::QuitLoop() {
  if (loop_ != nullptr) g_main_loop_quit(loop_);
}

}  // namespace ui_gtk

std::unique_ptr<IDialogView> CreateWindowView(std::string& why_not) {
  why_not.clear();
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return nullptr;
  if (!gtk_init_check(nullptr, nullptr)) {
    why_not = std::string("the display \"") + display + "\" cannot be opened";
    return nullptr;
  }
  return std::make_unique<ui_gtk::GtkView>();
}
