// RV7WIN9XME.EXE, the updater: brings the game's install folder up to the release on the update
// server, shows it in a window (or on the terminal), and starts the game.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "app/exit_deadline.h"
#include "app/startup_ui.h"
#include "app/system_processes.h"
#include "app/varne_updater_app.h"
#include "platform/console.h"
#include "platform/termination.h"
#include "ui/console/console_view.h"
#include "ui/varne_updater_dlg.h"
#include "ui/window_view.h"

namespace {

const char kUsage[] =
    "usage: RV7WIN9XME.EXE [--console] [--start-game] [--quiet] [--verify]\n"
    "  --console     use the terminal even when a display is there\n"
    "  --quiet       on the terminal, show no progress: messages and errors only\n"
    "  --start-game  start the game after a successful update without asking\n"
    "  --verify      read every installed file, even those that their stamps show unchanged\n";

// Once asked to end (the quit button, the window's close, a termination request), the process
// ends within this time, stopped run or not.
constexpr std::chrono::milliseconds kEndingGrace{500};

// Start-up's user interface: the boxes of the view, and the main dialog run in it.
class DialogStartupUi : public IStartupUi {
 public:
  DialogStartupUi(IDialogView& view, IProcessLauncher& processes, ExitDeadline& deadline,
                  bool verify, std::string restart_arguments)
      : view_(view),
        processes_(processes),
        deadline_(deadline),
        verify_(verify),
        restart_arguments_(std::move(restart_arguments)) {}

  void ShowMessageBox(const std::tstring& caption, const std::tstring& text) override {
    view_.ShowMessageBox(caption, text);
  }

  void RunDialog() override {
    DownloadManagerDriver run(verify_);
    CVarneUpdaterDlg dialog(view_, run, processes_);
    dialog.SetQuitListener([this] { deadline_.Arm(); });
    dialog.SetRestartArguments(restart_arguments_);
    try {
      dialog.DoModal();
    } catch (...) {
      Remember(dialog);
      throw;
    }
    Remember(dialog);
  }

  bool RunCompleted() const override { return run_completed_; }
  bool ErrorShown() const override { return error_shown_; }

 private:
  void Remember(const CVarneUpdaterDlg& dialog) {
    run_completed_ = dialog.RunCompleted();
    error_shown_ = dialog.ErrorShown();
  }

  IDialogView& view_;
  IProcessLauncher& processes_;
  ExitDeadline& deadline_;
  const bool verify_;
  const std::string restart_arguments_;
  bool run_completed_ = false;
  bool error_shown_ = false;
};

// The window wherever a desktop is there to show it; the terminal otherwise. A desktop that was
// asked for but cannot be reached is worth a word: the user expected a window.
std::unique_ptr<IDialogView> CreateView(bool console, bool start_game, bool quiet) {
  std::string why_not;
  std::unique_ptr<IDialogView> view = console ? nullptr : CreateWindowView(why_not);
  if (!why_not.empty()) {
    std::fprintf(stderr, "RV7WIN9XME.EXE: %s; using the terminal\n", why_not.c_str());
  }
  if (view != nullptr) return view;
  platform::AttachToConsole();
  return CreateConsoleView(start_game, quiet);
}

// The options an updater started again after its own replacement goes on with: the same view
// and the same end. Every file has just been read if asked, so reading them all again is not.
std::string RestartArguments(bool console, bool start_game, bool quiet) {
  std::string arguments = console ? "--console" : "";
  if (start_game) arguments += arguments.empty() ? "--start-game" : " --start-game";
  if (quiet) arguments += arguments.empty() ? "--quiet" : " --quiet";
  return arguments;
}

}  // namespace

int main(int argc, char** argv) {
  bool start_game = false;
  bool console = false;
  bool quiet = false;
  bool verify = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--start-game") == 0) {
      start_game = true;
    } else if (std::strcmp(argv[i], "--console") == 0) {
      console = true;
    } else if (std::strcmp(argv[i], "--quiet") == 0) {
      quiet = true;
    } else if (std::strcmp(argv[i], "--verify") == 0) {
      verify = true;
    } else if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      // Launchers and shortcuts pass arguments of their own; the updater needs none, so an
      // argument it does not know is passed over rather than ending it with nothing shown.
      std::fprintf(stderr, "RV7WIN9XME.EXE: ignoring the unknown argument %s\n", argv[i]);
    }
  }
  const std::unique_ptr<IDialogView> view = CreateView(console, start_game, quiet);
  ExitDeadline deadline(kEndingGrace, CVarneUpdaterApp::kFailed);
  SystemProcesses processes;
  DialogStartupUi ui(*view, processes, deadline, verify,
                     RestartArguments(console, start_game, quiet));
  // Asked to end from outside, the updater ends as when its window is closed: whatever it waits
  // for (a start-up wait, a box, the run's stop) has the grace period, then the process ends.
  const platform::TerminationRequests requests([&] {
    deadline.Arm();
    view->RequestClose();
  });
  CVarneUpdaterApp app(processes, processes);
  return app.Run(ui);
}
