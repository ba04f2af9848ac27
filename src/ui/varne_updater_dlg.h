// The updater's dialog: loads its layout, starts the update run, mirrors the run's progress into
// the view on a 10 ms timer, and at the end of the run hands over to the swap program, restarts
// the updater or lets the user start the game.
//
// One thread, the user interface's, runs every handler: the run's progress is polled with its
// state on each tick. The process's file manager (Singleton<IFileManager>, a VarneFileManager)
// must exist, holding the game's package.
#pragma once

#include <chrono>
#include <functional>

#include "base/tstring.h"
#include "config/config_base.h"
#include "ui/dialog_view.h"
#include "ui/dib_section.h"
#include "ui/process_launcher.h"
#include "ui/window_region.h"
#include "update/update_driver.h"

class CVarneUpdaterDlg : public IDialogEvents {
 public:
  static constexpr int kTimerId = 0;
  static constexpr int kTimerPeriodMs = 10;

  // run is started when the dialog is created and stopped when it is destroyed; processes starts
  // the swap program, the restarted updater and the game.
  CVarneUpdaterDlg(IDialogView& view, IUpdateDriver& run, IProcessLauncher& processes);
  // Stops the run if OnDestroy has not.
  ~CVarneUpdaterDlg() noexcept(false);
  CVarneUpdaterDlg(const CVarneUpdaterDlg&) = delete;
  CVarneUpdaterDlg& operator=(const CVarneUpdaterDlg&) = delete;

  // Runs the dialog: creation, initialisation, the view's modal loop, destruction. Failures of
  // creation, initialisation and the timer are shown in the view; anything else a handler throws
  // (the game that cannot be started) leaves DoModal after the destruction.
  int DoModal();
  // The run reported that it completed.
  bool RunCompleted() const { return run_completed_; }
  // An error box was shown.
  bool ErrorShown() const { return error_shown_; }

  // Called when the user ends the dialog (quit button, close command), before the run is stopped.
  void SetQuitListener(std::function<void()> listener) { quit_listener_ = std::move(listener); }

  // The folder the swap program is written to: the running executable's unless set.
  void SetModuleFolder(const std::tstring& folder) { module_folder_ = folder; }
  // The options the updater that the swap program starts again is given: this one's own.
  void SetRestartArguments(const std::tstring& arguments) { restart_arguments_ = arguments; }

  // The handlers, in the order DoModal runs them; public so that tests can run them one by one.
  // OnCreate and OnInitDialog show their own failures and answer false.
  bool OnCreate();
  bool OnInitDialog();
  void OnTimer(int timer_id) override;
  void OnCommand(int control_id) override;
  void OnSysCommand(unsigned command) override;
  void OnOK() override {}
  void OnCancel() override {}
  void OnStartGame();
  void OnQuit();
  void OnDestroy();

 private:
  void StartRun();
  void InitDialog();
  void PlaceWindow();
  void PlaceControls();
  void Tick();
  void ShowProgress(const RunStatus& status);
  void ShowBar(int id, std::uint64_t total, std::uint64_t done);
  // The task text with the whole update's figures beside it, cut to the text box.
  std::tstring TaskText(const RunProgress& progress);
  // Bytes a second since the run's first bytes; 0 before a second has passed.
  double Rate(std::uint64_t bytes_done);
  void HandOverToSwapProgram();
  void Restart();
  void EnableStartButton(bool enable);
  void ShowError(const std::tstring& text);
  void EndWithError(const std::tstring& text);
  ViewRect LayoutRect(const char* prefix);

  IDialogView& view_;
  DlgConfig config_;
  DibSection image_;
  WindowRegion region_;
  std::tstring run_file_name_;
  IUpdateDriver& run_;
  IProcessLauncher& processes_;
  std::tstring module_folder_;
  std::tstring restart_arguments_;
  std::function<void()> quit_listener_;
  bool run_completed_ = false;
  bool error_shown_ = false;
  int task_columns_ = 0;  // characters of the task text box; 0: unknown
  std::chrono::steady_clock::time_point rate_from_{};
  std::uint64_t rate_base_ = 0;
};
