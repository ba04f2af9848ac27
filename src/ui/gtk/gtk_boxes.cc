// The modal boxes: message boxes, the about box, and what they share with the main window.
#include <string>

#include "ui/gtk/app_icon_data.h"
#include "ui/gtk/gtk_window.h"
#include "ui/message_text.h"

namespace ui_gtk {
namespace {

gboolean TakeFocus(GtkWidget* widget, GdkEvent* /*event*/, gpointer /*data*/) {
  gdk_window_focus(gtk_widget_get_window(widget), gtk_get_current_event_time());
  return FALSE;
}

}  // namespace

void FocusWhenMapped(GtkWidget* window) {
  gtk_widget_add_events(window, GDK_STRUCTURE_MASK);
  g_signal_connect(window, "map-event", G_CALLBACK(TakeFocus), nullptr);
}

void SetWidgetStyle(GtkWidget* widget, const std::string& css) {
  auto* provider = static_cast<GtkCssProvider*>(g_object_get_data(G_OBJECT(widget), "varne-css"));
  if (provider == nullptr) {
    provider = gtk_css_provider_new();
    gtk_style_context_add_provider(gtk_widget_get_style_context(widget),
                                   GTK_STYLE_PROVIDER(provider),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION + 1);
    g_object_set_data_full(G_OBJECT(widget), "varne-css", provider, g_object_unref);
  }
  gtk_css_provider_load_from_data(provider, css.c_str(), -1, nullptr);
}

GdkPixbuf* AppIcon() {
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
  GdkPixbuf* icon = nullptr;
  if (gdk_pixbuf_loader_write(loader, kAppIconData, kAppIconSize, nullptr) &&
      gdk_pixbuf_loader_close(loader, nullptr)) {
    icon = gdk_pixbuf_loader_get_pixbuf(loader);
    if (icon != nullptr) g_object_ref(icon);
  } else {
    gdk_pixbuf_loader_close(loader, nullptr);
  }
  g_object_unref(loader);
  return icon;
}

void RunMessageBox(GtkWindow* parent, const std::string& caption, const std::string& text) {
  // GTK_MESSAGE_OTHER: the box carries no icon, only the text and OK.
  GtkWidget* box = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER,
                                          GTK_BUTTONS_OK, "%s", WithLineFeeds(text).c_str());
  gtk_window_set_title(GTK_WINDOW(box), caption.c_str());
  // Without a title bar (no window manager) the text would touch the box's top edge.
  gtk_widget_set_margin_top(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(box)), 12);
  gtk_window_set_position(GTK_WINDOW(box),
                          parent != nullptr ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
  FocusWhenMapped(box);
  gtk_dialog_run(GTK_DIALOG(box));
  gtk_widget_destroy(box);
  while (gtk_events_pending()) gtk_main_iteration();
}

void RunAboutBox(GtkWindow* parent, const AboutBoxText& text) {
  GtkWidget* box = gtk_dialog_new_with_buttons(text.caption.c_str(), parent, GTK_DIALOG_MODAL, "OK",
                                               GTK_RESPONSE_OK, nullptr);
  gtk_window_set_position(GTK_WINDOW(box), GTK_WIN_POS_CENTER_ON_PARENT);
  gtk_window_set_resizable(GTK_WINDOW(box), FALSE);
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 16);
  gtk_container_set_border_width(GTK_CONTAINER(row), 12);
  if (GdkPixbuf* icon = AppIcon()) {
    gtk_box_pack_start(GTK_BOX(row), gtk_image_new_from_pixbuf(icon), FALSE, FALSE, 0);
    g_object_unref(icon);
  }
  GtkWidget* lines = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  for (const std::string* line : {&text.version_line, &text.second_line}) {
    GtkWidget* label = gtk_label_new(line->c_str());
    gtk_label_set_xalign(GTK_LABEL(label), 0);
    gtk_box_pack_start(GTK_BOX(lines), label, FALSE, FALSE, 0);
  }
  gtk_box_pack_start(GTK_BOX(row), lines, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(box))), row, TRUE, TRUE, 0);
  gtk_widget_show_all(row);
  FocusWhenMapped(box);
  gtk_dialog_run(GTK_DIALOG(box));
  gtk_widget_destroy(box);
  while (gtk_events_pending()) gtk_main_iteration();
}

}  // namespace ui_gtk
