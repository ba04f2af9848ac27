#include "platform/console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

namespace platform {
namespace {

// A stream that was handed over (redirected to a file or a pipe, or a console) stays where it
// leads.
bool Leads(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

bool IsConsole(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

// The C run-time's text mode would hand a console each byte as a character of its own, and an
// unbuffered stream each byte in a write of its own; a UTF-8 character must reach the console in
// one piece. Every write of the C++ streams ends with a flush, so nothing waits in the buffer.
void WriteWholeCharacters(std::FILE* stream) {
  _setmode(_fileno(stream), _O_BINARY);
  std::setvbuf(stream, nullptr, _IOFBF, 8192);
}

}  // namespace

void AttachToConsole() {
  const bool input = Leads(STD_INPUT_HANDLE);
  const bool output = Leads(STD_OUTPUT_HANDLE);
  const bool error = Leads(STD_ERROR_HANDLE);
  if (!(input && output && error) && (AttachConsole(ATTACH_PARENT_PROCESS) || AllocConsole())) {
    if (!input) std::freopen("CONIN$", "r", stdin);
    if (!output) std::freopen("CONOUT$", "w", stdout);
    if (!error) std::freopen("CONOUT$", "w", stderr);
  }
  // A console shows the program's narrow text, UTF-8 like the rest of the process, whether the
  // program attached to it or was handed it. The setting is the console's: it stays after the
  // program ends.
  const bool output_console = IsConsole(STD_OUTPUT_HANDLE);
  const bool error_console = IsConsole(STD_ERROR_HANDLE);
  if (output_console || error_console) {
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCP(CP_UTF8);
  }
  if (output_console) WriteWholeCharacters(stdout);
  if (error_console) WriteWholeCharacters(stderr);
}

bool StandardInputIsTerminal() { return IsConsole(STD_INPUT_HANDLE); }

bool StandardErrorIsTerminal() { return IsConsole(STD_ERROR_HANDLE); }

void UseBinaryStandardStreams() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

}  // namespace platform
