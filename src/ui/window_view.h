// The updater's dialog as a window of the desktop: a skinned window painted from the skin and
// shaped by its region, with native progress bars, a read-only text line and two buttons. Each
// system's view library defines it: GTK 3 on Linux (ui/gtk/), raw Win32 on Windows (ui/win32/).
#pragma once

#include <memory>
#include <string>

#include "ui/dialog_view.h"

// The window view, or null when no desktop can show it, so that the caller can fall back to the
// terminal; `why_not` then says why (on Linux it stays empty when DISPLAY is unset). Call once, on
// the thread that will run the dialog.
std::unique_ptr<IDialogView> CreateWindowView(std::string& why_not);
