#include "ui/testing/recording_view.h"

#include <utility>

namespace ui_testing {
namespace {

std::string Text(const ViewRect& r) {
  return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
         std::to_string(r.height);
}

}  // namespace

void RecordingView::MoveControl(int id, const ViewRect& rect) {
  Record("move " + std::to_string(id) + " " + Text(rect));
}

void RecordingView::EnableControl(int id, bool enable) {
  Record("enable " + std::to_string(id) + (enable ? " on" : " off"));
}

void RecordingView::SetBarRange(int id, int lower, int upper) {
  bars[id].lower = lower;
  bars[id].upper = upper;
}

void RecordingView::SetBarPosition(int id, int position) { bars[id].position = position; }

void RecordingView::SetControlText(int id, const std::tstring& text) {
  texts[id] = text;
  Record("text " + std::to_string(id) + " " + text);
}

void RecordingView::SetControlFont(int id, const FontRequest& font) {
  Record("font " + std::to_string(id) + " " + std::to_string(font.height) + " " +
         std::to_string(font.width) + " " + std::to_string(font.weight));
}

void RecordingView::AppendSystemMenuItem(unsigned command, const std::tstring& text) {
  Record("menu " + std::to_string(command) + " " + text);
}

void RecordingView::DefaultSysCommand(unsigned command) {
  Record("default command " + std::to_string(command));
}

void RecordingView::SetWindowRect(const ViewRect& rect) { Record("window " + Text(rect)); }

void RecordingView::ShowMessageBox(const std::tstring& caption, const std::tstring& text) {
  boxes.emplace_back(caption, text);
  Record("box " + caption + ": " + text);
}

void RecordingView::ShowAboutBox(const AboutBoxText& text) {
  Record("about " + text.caption + ": " + text.version_line + " / " + text.second_line);
}

void RecordingView::StartTimer(int id, int period_ms) {
  timer_running_ = true;
  Record("start timer " + std::to_string(id) + " " + std::to_string(period_ms));
}

void RecordingView::StopTimer(int id) {
  timer_running_ = false;
  Record("stop timer " + std::to_string(id));
}

int RecordingView::RunModalLoop(IDialogEvents& events) {
  while (!ended_ && ticks < 6000) {
    if (timer_running_) {
      if (on_tick) on_tick(events);
      if (ended_ || !timer_running_) continue;
      ++ticks;
      events.OnTimer(0);
    } else if (on_idle) {
      std::exchange(on_idle, nullptr)(events);
    } else {
      EndDialog(1);
    }
  }
  return result_;
}

void RecordingView::EndDialog(int result) {
  ended_ = true;
  result_ = result;
  Record("end " + std::to_string(result));
}

void RecordingView::PostQuit(int code) {
  if (!ended_) result_ = -1;
  ended_ = true;
  Record("quit " + std::to_string(code));
}

std::vector<std::string> RecordingView::Calls(const std::string& prefix) const {
  std::vector<std::string> lines;
  for (const std::string& line : log) {
    if (line.starts_with(prefix)) lines.push_back(line);
  }
  return lines;
}

}  // namespace ui_testing
