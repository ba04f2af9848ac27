// The updater's dialog as a skinned window on GTK 3: an undecorated window painted from the skin,
// shaped by its region, with native progress bars, a read-only text line and two buttons.
#pragma once

#include <memory>
#include <string>

#include "ui/dialog_view.h"

// The GTK view on the display named by DISPLAY, or null when GTK cannot open one (no desktop), so
// that the caller can fall back to the terminal; `why_not` then says why when DISPLAY names a
// display (it stays empty when DISPLAY is unset). Call once, on the thread that will run the
// dialog.
std::unique_ptr<IDialogView> CreateGtkView(std::string& why_not);
