// The terminal front-end: the dialog without a display. Progress goes to standard error: on a
// terminal one line redrawn in place (files and bytes, rate, time left, the task's text), otherwise
// one line per file, and nothing when quiet; message boxes are printed on standard
// output and wait for Enter when standard input is a terminal. When the run has succeeded it asks
// whether to start the game, or, without a terminal to ask on, starts it only when told to.
#pragma once

#include <atomic>
#include <iosfwd>
#include <memory>

#include "base/progress_line.h"
#include "ui/dialog_view.h"

struct ConsoleOptions {
  bool start_game_without_asking = false;
  bool input_is_terminal = false;
  bool error_is_terminal = false;
  bool quiet = false;  // errors only: no progress
};

class ConsoleView : public IDialogView {
 public:
  ConsoleView(std::istream& in, std::ostream& out, std::ostream& err, ConsoleOptions options);

  bool HasControl(int id) const override;
  void MoveControl(int, const ViewRect&) override {}
  void EnableControl(int id, bool enable) override;
  void SetBarRange(int, int, int) override {}
  void SetBarPosition(int, int) override {}
  void SetControlText(int id, const std::tstring& text) override;
  void SetControlFont(int, const FontRequest&) override {}
  bool ShowRunFigures(const RunProgress& progress) override {
    figures_ = progress;
    return true;
  }
  void SetTitle(const std::tstring&) override {}
  void SetIcon(int) override {}
  void AppendSystemMenuItem(unsigned, const std::tstring&) override {}
  void DefaultSysCommand(unsigned) override {}
  ViewRect GetDesktopArea() const override { return {0, 0, 0, 0}; }
  void SetWindowRect(const ViewRect&) override {}
  void SetSkin(const DibSection*) override {}
  void SetWindowRegion(const WindowRegion&) override {}
  void ShowMessageBox(const std::tstring& caption, const std::tstring& text) override;
  void ShowAboutBox(const AboutBoxText& text) override;
  void StartTimer(int id, int period_ms) override;
  void StopTimer(int id) override;
  int RunModalLoop(IDialogEvents& events) override;
  void EndDialog(int result) override;
  void PostQuit(int code) override;
  void RequestClose() override { close_requested_ = true; }

 private:
  void DrawProgress();
  void WaitForEnter();
  bool AskToStartGame();

  std::istream& in_;
  std::ostream& out_;
  std::ostream& err_;
  ConsoleOptions options_;
  ProgressLine line_;
  RunProgress figures_;
  std::string task_text_;
  std::string printed_;  // the last task text printed as a plain line
  bool start_enabled_ = false;
  bool timer_running_ = false;
  int timer_id_ = 0;
  int timer_period_ms_ = 10;
  bool ended_ = false;
  int result_ = 0;
  std::atomic<bool> close_requested_ = false;
};

// The console view on the process's standard streams; quiet: no progress.
std::unique_ptr<IDialogView> CreateConsoleView(bool start_game_without_asking, bool quiet);
