// A stand-in for the game: records how it was started in "game-started.txt" in its working folder,
// then, when asked with "--stay <seconds>", keeps running for that long.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  std::ofstream record("game-started.txt", std::ios::app);
  for (int i = 1; i < argc; ++i) record << argv[i] << '\n';
  record << "started\n";
  record.close();
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--stay") {
      std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[i + 1])));
    }
  }
  return 0;
}
