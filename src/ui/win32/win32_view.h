// The updater's dialog as a native Windows window: the dialog template IDD_UPDATER_DIALOG of the
// program's resources, painted from the skin and shaped by its region, with the common controls'
// progress bars, a read-only edit line and two push buttons.
#pragma once

#include <memory>
#include <string>

#include "ui/dialog_view.h"

// The window view, or null when the window cannot be created (`why_not` then says why), so that
// the caller can fall back to the terminal. Call once, on the thread that will run the dialog.
std::unique_ptr<IDialogView> CreateWindowView(std::string& why_not);
