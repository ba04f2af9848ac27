#include "ui/console/console_view.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>

#include "res/resource.h"
#include "ui/message_text.h"

namespace {

constexpr int kBarCells = 10;
// Room for the task text on an 80-column line after the two bars and their figures.
constexpr int kTextColumns = 36;

// Cut to `columns` terminal columns, a character outside ASCII taken as two (as the Japanese
// texts are); never in the middle of a UTF-8 sequence.
std::string FitColumns(const std::string& text, int columns) {
  int used = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte & 0xC0) == 0x80) continue;
    used += byte < 0x80 ? 1 : 2;
    if (used > columns) return text.substr(0, i);
  }
  return text;
}

double Fraction(int lower, int upper, int position) {
  if (upper <= lower) return 0;
  return std::clamp(double(position - lower) / (double(upper) - lower), 0.0, 1.0);
}

std::string BarCells(double fraction) {
  const int filled = static_cast<int>(fraction * kBarCells);
  return "[" + std::string(filled, '#') + std::string(kBarCells - filled, '-') + "]";
}

}  // namespace

ConsoleView::ConsoleView(std::istream& in, std::ostream& out, std::ostream& err,
                         ConsoleOptions options)
    : in_(in), out_(out), err_(err), options_(options) {}

bool ConsoleView::HasControl(int id) const {
  return id == IDC_MAIN_PROGRESS || id == IDC_TASK_PROGRESS || id == IDC_TASK_EDIT ||
         id == IDC_START_GAME || id == IDC_QUIT;
}

void ConsoleView::EnableControl(int id, bool enable) {
  if (id == IDC_START_GAME) start_enabled_ = enable;
}

void ConsoleView::SetBarRange(int id, int lower, int upper) {
  Bar& bar = id == IDC_MAIN_PROGRESS ? main_bar_ : task_bar_;
  bar.lower = lower;
  bar.upper = upper;
}

void ConsoleView::SetBarPosition(int id, int position) {
  (id == IDC_MAIN_PROGRESS ? main_bar_ : task_bar_).position = position;
}

void ConsoleView::SetControlText(int id, const std::tstring& text) {
  if (id == IDC_TASK_EDIT) task_text_ = text;
}

std::string ConsoleView::ProgressLine() const {
  const int percent =
      static_cast<int>(Fraction(task_bar_.lower, task_bar_.upper, task_bar_.position) * 100);
  std::string line = BarCells(Fraction(main_bar_.lower, main_bar_.upper, main_bar_.position));
  line += " " + std::to_string(main_bar_.position) + "/" + std::to_string(main_bar_.upper) + " ";
  line += BarCells(Fraction(task_bar_.lower, task_bar_.upper, task_bar_.position));
  line += " " +
          std::string(percent < 10    ? "  "
                      : percent < 100 ? " "
                                      : "") +
          std::to_string(percent) + "% ";
  return line + FitColumns(task_text_, kTextColumns);
}

void ConsoleView::DrawProgress() {
  if (options_.error_is_terminal) {
    const std::string line = ProgressLine();
    if (line == drawn_ && line_open_) return;
    err_ << "\r" << line << "\x1b[K" << std::flush;
    drawn_ = line;
    line_open_ = true;
  } else if (!task_text_.empty() && task_text_ != drawn_) {
    err_ << "[" << main_bar_.position << "/" << main_bar_.upper << "] " << task_text_ << "\n"
         << std::flush;
    drawn_ = task_text_;
  }
}

void ConsoleView::EndProgressLine() {
  if (!line_open_) return;
  err_ << "\n" << std::flush;
  line_open_ = false;
}

void ConsoleView::WaitForEnter() {
  if (!options_.input_is_terminal) return;
  out_ << "[Enter]" << std::flush;
  std::string ignored;
  std::getline(in_, ignored);
}

void ConsoleView::ShowMessageBox(const std::tstring& caption, const std::tstring& text) {
  EndProgressLine();
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
        EndProgressLine();
        events.OnCommand(AskToStartGame() ? IDC_START_GAME : IDC_QUIT);
      }
      // Nothing left that could end the dialog: end it as the quit button would.
      if (!ended_) EndDialog(1);
    }
  }
  EndProgressLine();
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
