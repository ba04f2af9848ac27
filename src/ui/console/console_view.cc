#include "ui/console/console_view.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>

#include "res/resource.h"
#include "ui/message_text.h"

ConsoleView::ConsoleView(std::istream& in, std::ostream& out, std::ostream& err,
                         ConsoleOptions options)
    : in_(in),
      out_(out),
      err_(err),
      options_(options),
      line_(err, options.quiet               ? ProgressOutput::kQuiet
                 : options.error_is_terminal ? ProgressOutput::kRedrawn
                                             : ProgressOutput::kPlain) {}

bool ConsoleView::HasControl(int id) const {
  return id == IDC_MAIN_PROGRESS || id == IDC_TASK_PROGRESS || id == IDC_TASK_EDIT ||
         id == IDC_START_GAME || id == IDC_QUIT;
}

void ConsoleView::EnableControl(int id, bool enable) {
  if (id == IDC_START_GAME) start_enabled_ = enable;
}

void ConsoleView::SetControlText(int id, const std::tstring& text) {
  if (id == IDC_TASK_EDIT) task_text_ = text;
}

void ConsoleView::DrawProgress() {
  if (line_.Output() == ProgressOutput::kRedrawn) {
    // The whole update's bytes once the run tells them; a run that tells none, its file's.
    const FetchFigures& fetch = figures_.fetch;
    const bool whole = fetch.bytes_total > 0 || fetch.bytes_done > 0;
    line_.Update({static_cast<std::uint64_t>(std::max(figures_.files_done, 0)),
                  static_cast<std::uint64_t>(std::max(figures_.total_files, 0)),
                  whole ? fetch.bytes_done : figures_.task_done,
                  whole ? fetch.bytes_total : figures_.task_total},
                 fetch.checking ? task_text_ + " 確認中" : task_text_);
  } else if (line_.Output() == ProgressOutput::kPlain && !task_text_.empty() &&
             task_text_ != printed_) {
    err_ << "[" << figures_.files_done << "/" << figures_.total_files << "] " << task_text_ << "\n"
         << std::flush;
    printed_ = task_text_;
  }
}

void ConsoleView::WaitForEnter() {
  if (!options_.input_is_terminal) return;
  out_ << "[Enter]" << std::flush;
  std::string ignored;
  std::getline(in_, ignored);
}

void ConsoleView::ShowMessageBox(const std::tstring& caption, const std::tstring& text) {
  line_.End();
  out_ << caption << "\n" << WithLineFeeds(text) << "\n" << std::flush;
  WaitForEnter();
}

void ConsoleView::ShowAboutBox(const AboutBoxText& text) {
  ShowMessageBox(text.caption, text.version_line + "\n" + text.second_line);
}

void ConsoleView::StartTimer(int id, int period_ms) {
  timer_running_ = true;
  timer_id_ = id;
  timer_period_ms_ = std::max(period_ms, 1);
}

void ConsoleView::StopTimer(int id) {
  if (id == timer_id_) timer_running_ = false;
}

bool ConsoleView::AskToStartGame() {
  if (options_.start_game_without_asking) return true;
  if (!options_.input_is_terminal) return false;
  out_ << "ゲームを起動しますか? [y/N] " << std::flush;
  std::string answer;
  std::getline(in_, answer);
  return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

int ConsoleView::RunModalLoop(IDialogEvents& events) {
  while (!ended_) {
    if (close_requested_.exchange(false)) {
      events.OnSysCommand(kCloseCommand);
    } else if (timer_running_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(timer_period_ms_));
      events.OnTimer(timer_id_);
      if (!ended_) DrawProgress();
    } else {
      if (start_enabled_) {
        DrawProgress();
        line_.End();
        events.OnCommand(AskToStartGame() ? IDC_START_GAME : IDC_QUIT);
      }
      // Nothing left that could end the dialog: end it as the quit button would.
      if (!ended_) EndDialog(1);
    }
  }
  line_.End();
  return result_;
}

void ConsoleView::EndDialog(int result) {
  ended_ = true;
  result_ = result;
}

void ConsoleView::PostQuit(int /*code*/) {
  if (!ended_) result_ = -1;
  ended_ = true;
}
