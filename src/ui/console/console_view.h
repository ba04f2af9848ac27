// The terminal front-end: the dialog without a display. Progress goes to standard error, redrawn in
// place on a terminal and as one line per file otherwise; message boxes are printed on standard
// output and wait for Enter when standard input is a terminal. When the run has succeeded it asks
// whether to start the game, or, without a terminal to ask on, starts it only when told to.
#pragma once

#include <atomic>
#include <iosfwd>
#include <memory>

#include "ui/dialog_view.h"

struct ConsoleOptions {
  bool start_game_without_asking = false;
  bool input_is_terminal = false;
  bool error_is_terminal = false;
};

class ConsoleView : public IDialogView {
 public:
  ConsoleView(std::istream& in, std::ostream& out, std::ostream& err, ConsoleOptions options);

  bool HasControl(int id) const override;
  void MoveControl(int, const ViewRect&) override {}
  void EnableControl(int id, bool enable) override;
  void SetBarRange(int id, int lower, int upper) override;
  void SetBarPosition(int id, int position) override;
  void SetControlText(int id, const std::tstring& text) override;
  void SetControlFont(int, const FontRequest&) override {}
  void SetTitle(const std::tstring&) override {}
  void SetIcon(int) override {}
  void AppendSystemMenuItem(unsigned, const std::tstring&) override {}
  void DefaultSysCommand(unsigned) override {}
  ViewSize GetDesktopSize() const override { return {0, 0}; }
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
  struct Bar {
    int lower = 0, upper = 0, position = 0;
  };

  void DrawProgress();
  std::string ProgressLine() const;
  void EndProgressLine();
  void WaitForEnter();
  bool AskToStartGame();

  std::istream& in_;
  std::ostream& out_;
  std::ostream& err_;
  ConsoleOptions options_;
  Bar main_bar_, task_bar_;
  std::string task_text_;
  std::string drawn_;       // the progress line on screen (terminal) or last printed text
  bool line_open_ = false;  // a progress line without its line break is on the terminal
  bool start_enabled_ = false;
  bool timer_running_ = false;
  int timer_id_ = 0;
  int timer_period_ms_ = 10;
  bool ended_ = false;
  int result_ = 0;
  std::atomic<bool> close_requested_ = false;
};

// The console view on the process's standard streams.
std::unique_ptr<IDialogView> CreateConsoleView(bool start_game_without_asking);
