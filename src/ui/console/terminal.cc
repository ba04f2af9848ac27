// The process's standard streams, for the console view.
#include <iostream>

#include "platform/console.h"
#include "ui/console/console_view.h"

std::unique_ptr<IDialogView> CreateConsoleView(bool start_game_without_asking, bool quiet) {
  ConsoleOptions options;
  options.start_game_without_asking = start_game_without_asking;
  options.input_is_terminal = platform::StandardInputIsTerminal();
  options.error_is_terminal = platform::StandardErrorIsTerminal();
  options.quiet = quiet;
  return std::make_unique<ConsoleView>(std::cin, std::cout, std::cerr, options);
}
