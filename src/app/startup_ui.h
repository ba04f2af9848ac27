// The user interface as start-up sees it.
#pragma once

#include "base/tstring.h"

// What start-up needs of the user interface; the views and the main dialog provide it.
class IStartupUi {
 public:
  virtual ~IStartupUi() noexcept(false) = default;
  virtual void ShowMessageBox(const std::tstring& caption,
                              const std::tstring& text) = 0;  // OK only
  // Runs the main dialog modally; exceptions it does not handle propagate.
  virtual void RunDialog() = 0;
  virtual bool RunCompleted() const = 0;  // the dialog's run completed
  virtual bool ErrorShown() const = 0;    // the dialog showed an error box
};
