// A stand-in for the game: records how it was started in "game-started.txt" in its working folder.
#include <fstream>

int main(int argc, char** argv) {
  std::ofstream record("game-started.txt", std::ios::app);
  for (int i = 1; i < argc; ++i) record << argv[i] << '\n';
  record << "started\n";
  return 0;
}
