// The Windows form of the small windowed game that the demo and the window tests start: it
// records how it was started in "game-started.txt" in its working folder and shows the text of
// "sample-game.txt" (the release's notes) in a top-level window titled "Sample Game" until that
// window is closed, or, with "--stay <seconds>", for that long. "--title <text>" names the window
// otherwise, for tests that need a second window to tell apart. The window records when it becomes
// active or inactive in "game-activated.txt", so that a test sees the updater bring a running game
// forward. The updater counts a game as running only while it has such a window; "--hidden" keeps
// the window hidden, as a game in the tray has it. The start is recorded once the window exists.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

constexpr UINT_PTR kStayTimer = 1;

std::string Notes() {
  std::ifstream file("sample-game.txt", std::ios::binary);
  std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  return text.empty() ? "Sample Game" : text;
}

void Record(int argc, char** argv) {
  std::ofstream record("game-started.txt", std::ios::app | std::ios::binary);
  for (int i = 1; i < argc; ++i) record << argv[i] << '\n';
  record << "started\n";
}

// One line per change: "activated <title>" or "deactivated <title>". Each window writes its own
// changes in order, so its last line says whether it is the active window now.
void RecordActivation(HWND window, bool active) {
  char title[256] = {};
  GetWindowTextA(window, title, sizeof title);
  std::ofstream("game-activated.txt", std::ios::app | std::ios::binary)
      << (active ? "activated " : "deactivated ") << title << '\n';
}

LRESULT CALLBACK GameProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_ACTIVATE:
      RecordActivation(window, LOWORD(wparam) != WA_INACTIVE);
      return DefWindowProcA(window, message, wparam, lparam);
    case WM_TIMER:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

// The value after `option` on the command line, or `fallback`.
std::string Option(int argc, char** argv, const std::string& option, const std::string& fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (argv[i] == option) return argv[i + 1];
  }
  return fallback;
}

HWND CreateGameWindow(HINSTANCE instance, const std::string& title, bool hidden) {
  WNDCLASSA window_class{};
  window_class.lpfnWndProc = &GameProc;
  window_class.hInstance = instance;
  window_class.hCursor = LoadCursor(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  window_class.lpszClassName = "VarneSampleGame";
  RegisterClassA(&window_class);
  HWND window = CreateWindowExA(0, window_class.lpszClassName, title.c_str(),
                                WS_OVERLAPPEDWINDOW | (hidden ? 0 : WS_VISIBLE), CW_USEDEFAULT,
                                CW_USEDEFAULT, 320, 200, nullptr, nullptr, instance, nullptr);
  CreateWindowExA(0, "STATIC", Notes().c_str(), WS_CHILD | WS_VISIBLE, 8, 8, 296, 150, window,
                  nullptr, instance, nullptr);
  return window;
}

}  // namespace

int main(int argc, char** argv) {
  const bool hidden = std::find(argv + 1, argv + argc, std::string("--hidden")) != argv + argc;
  HWND window = CreateGameWindow(GetModuleHandleA(nullptr),
                                 Option(argc, argv, "--title", "Sample Game"), hidden);
  if (window == nullptr) return 1;
  Record(argc, argv);
  const std::string stay = Option(argc, argv, "--stay", "");
  if (!stay.empty()) {
    SetTimer(window, kStayTimer, static_cast<UINT>(std::atoi(stay.c_str())) * 1000u, nullptr);
  }
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}
