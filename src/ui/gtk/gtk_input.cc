// What the user does to the main window: dragging the skin, keys, and the window menu.
#include <string>

#include "ui/gtk/gtk_window.h"

namespace ui_gtk {
namespace {

// Menu texts mark their access key with "&"; GTK marks it with "_".
std::string Mnemonic(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_') {
      out += "__";
    } else if (text[i] == '&' && i + 1 < text.size() && text[i + 1] == '&') {
      out += '&';
      ++i;
    } else {
      out += text[i] == '&' ? '_' : text[i];
    }
  }
  return out;
}

void SendSysCommand(GtkView& view, unsigned command) {
  view.Dispatch([command](IDialogEvents& events) { events.OnSysCommand(command); });
}

gboolean OnButtonPress(GtkWidget* /*window*/, GdkEventButton* event, gpointer data) {
  auto& view = *static_cast<GtkView*>(data);
  if (event->type != GDK_BUTTON_PRESS || view.IsOnControl(event->x, event->y)) return FALSE;
  if (event->button == GDK_BUTTON_PRIMARY) {
    // The whole skin acts as the caption: pressing anywhere on it moves the window.
    gtk_window_begin_move_drag(view.Window(), static_cast<int>(event->button),
                               static_cast<int>(event->x_root), static_cast<int>(event->y_root),
                               event->time);
    return TRUE;
  }
  if (event->button == GDK_BUTTON_SECONDARY) {
    view.PopUpSystemMenu(reinterpret_cast<GdkEvent*>(event));
    return TRUE;
  }
  return FALSE;
}

gboolean OnKeyPress(GtkWidget* /*window*/, GdkEventKey* event, gpointer data) {
  auto& view = *static_cast<GtkView*>(data);
  const bool alt = (event->state & GDK_MOD1_MASK) != 0;
  switch (event->keyval) {
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
    case GDK_KEY_ISO_Enter:
      view.Dispatch([](IDialogEvents& events) { events.OnOK(); });
      return TRUE;
    case GDK_KEY_Escape:
      view.Dispatch([](IDialogEvents& events) { events.OnCancel(); });
      return TRUE;
    case GDK_KEY_F4:
      if (!alt) return FALSE;
      SendSysCommand(view, IDialogView::kCloseCommand);
      return TRUE;
    case GDK_KEY_space:
      if (!alt) return FALSE;
      view.PopUpSystemMenu(reinterpret_cast<GdkEvent*>(event));
      return TRUE;
    default:
      return FALSE;
  }
}

// Closing through the desktop (a window manager's close button) is the close command.
gboolean OnDelete(GtkWidget* /*window*/, GdkEvent* /*event*/, gpointer data) {
  SendSysCommand(*static_cast<GtkView*>(data), IDialogView::kCloseCommand);
  return TRUE;
}

void OnMenuItem(GtkMenuItem* item, gpointer data) {
  const auto command =
      static_cast<unsigned>(GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(item), "varne-command")));
  SendSysCommand(*static_cast<GtkView*>(data), command);
}

GtkWidget* MenuItem(GtkView& view, unsigned command, const std::string& text) {
  GtkWidget* item = gtk_menu_item_new_with_mnemonic(Mnemonic(text).c_str());
  g_object_set_data(G_OBJECT(item), "varne-command", GUINT_TO_POINTER(command));
  g_signal_connect(item, "activate", G_CALLBACK(OnMenuItem), &view);
  return item;
}

}  // namespace

void ConnectInput(GtkView& view, GtkWidget* window) {
  gtk_widget_add_events(window, GDK_BUTTON_PRESS_MASK | GDK_KEY_PRESS_MASK);
  g_signal_connect(window, "button-press-event", G_CALLBACK(OnButtonPress), &view);
  g_signal_connect(window, "key-press-event", G_CALLBACK(OnKeyPress), &view);
  g_signal_connect(window, "delete-event", G_CALLBACK(OnDelete), &view);
}

void GtkView::PopUpSystemMenu(const GdkEvent* event) {
  GtkWidget* menu = gtk_menu_new();
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), MenuItem(*this, kCloseCommand, "閉じる(&C)"));
  for (const auto& [command, text] : menu_items_) {
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), gtk_separator_menu_item_new());
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), MenuItem(*this, command, text));
  }
  gtk_widget_show_all(menu);
  gtk_menu_attach_to_widget(GTK_MENU(menu), window_, nullptr);
  // The menu goes with its popping down; "deactivate" comes before an item's "activate".
  g_signal_connect(menu, "selection-done", G_CALLBACK(gtk_widget_destroy), nullptr);
  if (event != nullptr && event->type == GDK_BUTTON_PRESS) {
    gtk_menu_popup_at_pointer(GTK_MENU(menu), event);
  } else {
    gtk_menu_popup_at_widget(GTK_MENU(menu), window_, GDK_GRAVITY_NORTH_WEST,
                             GDK_GRAVITY_NORTH_WEST, event);
  }
}

}  // namespace ui_gtk
