#include "platform/console.h"

#include <windows.h>

#include <cstdio>

namespace platform {
namespace {

// A stream that was handed over (redirected to a file or a pipe) stays where it leads.
bool Leads(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

}  // namespace

void AttachToConsole() {
  const bool input = Leads(STD_INPUT_HANDLE);
  const bool output = Leads(STD_OUTPUT_HANDLE);
  const bool error = Leads(STD_ERROR_HANDLE);
  if (input && output && error) return;
  if (!AttachConsole(ATTACH_PARENT_PROCESS) && !AllocConsole()) return;
  // The console shows the program's narrow text, UTF-8 like the rest of the process.
  SetConsoleOutputCP(CP_UTF8);
  SetConsoleCP(CP_UTF8);
  if (!input) std::freopen("CONIN$", "r", stdin);
  if (!output) std::freopen("CONOUT$", "w", stdout);
  if (!error) std::freopen("CONOUT$", "w", stderr);
}

}  // namespace platform
