// The updater's application object: the checks before any window is shown, the process's file
// manager over the game's package, and the main dialog run through the user interface.
#pragma once

#include <chrono>

#include "app/single_app.h"
#include "app/startup_ui.h"
#include "base/singleton.h"
#include "base/tstring.h"
#include "ui/process_launcher.h"

class CVarneUpdaterApp {
 public:
  // Exit statuses of the process.
  static constexpr int kRunCompleted = 0;  // the update run completed (game started or not)
  static constexpr int kFailed = 1;        // an error box was shown, or the run did not complete
  static constexpr int kRefused = 2;       // another copy runs, or the game does

  // `processes` and `windows` answer for the swap program, the game and another copy. `module_path`
  // is the updater's own executable (empty: the running one); its folder is the install folder.
  // The file manager is handed to `singletons`. `retry_delay` is the pause between attempts to
  // delete a leftover swap program.
  CVarneUpdaterApp(IProcessLauncher& processes, IWindowSearch& windows,
                   SingletonManager& singletons = SingletonManager::GetInstance(),
                   const std::tstring& module_path = std::tstring(),
                   std::chrono::milliseconds retry_delay = std::chrono::seconds(1));
  virtual ~CVarneUpdaterApp() = default;
  CVarneUpdaterApp(const CVarneUpdaterApp&) = delete;
  CVarneUpdaterApp& operator=(const CVarneUpdaterApp&) = delete;

  // The whole start-up and the dialog's run; returns the process's exit status. Call once, on the
  // user interface's thread. The single-instance mutex stays held until this object goes.
  int Run(IStartupUi& ui);

  // The start-up routine. Always false: the process ends once it returns. ExitStatus() tells how.
  bool InitInstance(IStartupUi& ui);
  int ExitStatus() const { return exit_status_; }

 private:
  std::tstring ModuleFolder() const;
  bool IsGameRunning(IStartupUi& ui, const std::tstring& game);
  void RunGuarded(IStartupUi& ui);
  void OpenPackage();

  SingleApp single_app_;
  IProcessLauncher& processes_;
  IWindowSearch& windows_;
  SingletonManager& singletons_;
  std::tstring module_path_;
  std::chrono::milliseconds retry_delay_;
  int exit_status_ = kFailed;
};
