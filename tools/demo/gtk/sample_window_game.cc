// A small game with a window of its own, for the demo and the window tests: it records how it was
// started in "game-started.txt" in its working folder and shows the text of "sample-game.txt" (the
// release's notes) in a window titled "Sample Game" until that window is closed, or, with
// "--stay <seconds>", for that long.
#include <gtk/gtk.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string Notes() {
  std::ifstream file("sample-game.txt");
  std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  return text.empty() ? "Sample Game" : text;
}

void Record(int argc, char** argv) {
  std::ofstream record("game-started.txt", std::ios::app);
  for (int i = 1; i < argc; ++i) record << argv[i] << '\n';
  record << "started\n";
}

gboolean Quit(gpointer) {
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
  Record(argc, argv);
  int stay = 0;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--stay") stay = std::atoi(argv[i + 1]);
  }
  if (!gtk_init_check(nullptr, nullptr)) return 1;
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), "Sample Game");
  gtk_window_set_default_size(GTK_WINDOW(window), 320, 200);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  GtkWidget* label = gtk_label_new(Notes().c_str());
  gtk_container_add(GTK_CONTAINER(window), label);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  gtk_widget_show_all(window);
  if (stay > 0) g_timeout_add_seconds(static_cast<guint>(stay), &Quit, nullptr);
  gtk_main();
  return 0;
}
