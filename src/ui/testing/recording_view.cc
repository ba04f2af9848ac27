#include "ui/testing/recording_view.h"

#include <chrono>
#include <thread>
#include <utility>

#include "res/resource.h"

namespace ui_testing {

namespace {

std::string Text(const ViewRect& r) {
  return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
         std::to_string(r.height);
}

}  // namespace

RecordingView::RecordingView()
    : controls_{IDC_MAIN_PROGRESS, IDC_TASK_PROGRESS, IDC_TASK_EDIT, IDC_START_GAME, IDC_QUIT} {}

void RecordingView::MoveControl(int id, const ViewRect& rect) {
  rects[id] = rect;
  Record("move " + std::to_string(id) + " " + Text(rect));
}

void RecordingView::EnableControl(int id, bool enable) {
  enabled[id] = enable;
  Record("enable " + std::to_string(id) + " " + (enable ? "on" : "off"));
}

void RecordingView::SetBarRange(int id, int lower, int upper) {
  bars[id].lower = lower;
  bars[id].upper = upper;
  Record("range " + std::to_string(id) + " " + std::to_string(lower) + ".." +
         std::to_string(upper));
}

void RecordingView::SetBarPosition(int id, int position) {
  bars[id].position = position;
  Record("position " + std::to_string(id) + " " + std::to_string(position));
}

void RecordingView::SetControlText(int id, const std::tstring& text) {
  texts[id] = text;
  Record("text " + std::to_string(id) + " " + text);
}

void RecordingView::SetControlFont(int id, const FontRequest& font) {
  Record("font " + std::to_string(id) + " " + std::to_string(font.height) + " " +
         std::to_string(font.width) + " " + std::to_string(font.weight));
}

void RecordingView::SetTitle(const std::tstring& title) { Record("title " + title); }
void RecordingView::SetIcon(int icon_id) { Record("icon " + std::to_string(icon_id)); }

void RecordingView::AppendSystemMenuItem(unsigned command, const std::tstring& text) {
  Record("menu " + std::to_string(command) + " " + text);
}

void RecordingView::DefaultSysCommand(unsigned command) {
  Record("default command " + std::to_string(command));
}

void RecordingView::SetWindowRect(const ViewRect& rect) { Record("window " + Text(rect)); }

void RecordingView::SetSkin(const DibSection* image) {
  Record("skin " + std::to_string(image->GetWidth()) + "x" + std::to_string(image->GetHeight()));
}

void RecordingView::SetWindowRegion(const WindowRegion& shape) {
  region = shape;
  Record("region " + std::to_string(shape.rects.size()));
}

void RecordingView::ShowMessageBox(const std::tstring& caption, const std::tstring& text) {
  boxes.emplace_back(caption, text);
  Record("box " + caption + ": " + text);
}

void RecordingView::ShowAboutBox(const AboutBoxText& text) {
  Record("about " + text.caption + ": " + text.version_line + " / " + text.second_line);
}

void RecordingView::StartTimer(int id, int period_ms) {
  timer_running = true;
  Record("start timer " + std::to_string(id) + " " + std::to_string(period_ms));
}

void RecordingView::StopTimer(int id) {
  timer_running = false;
  Record("stop timer " + std::to_string(id));
}

int RecordingView::RunModalLoop(IDialogEvents& events) {
  while (!ended && ticks < max_ticks) {
    if (std::exchange(close_requested_, false)) {
      events.OnSysCommand(kCloseCommand);
    } else if (timer_running) {
      if (on_tick) on_tick(events, ticks);
      if (ended || !timer_running) continue;
      ++ticks;
      events.OnTimer(0);
      // The run is real; give its worker time as a real timer would.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } else if (on_idle) {
      on_idle(events);
      on_idle = nullptr;
    } else {
      EndDialog(1);
    }
  }
  return result_;
}

void RecordingView::RequestClose() { close_requested_ = true; }

void RecordingView::EndDialog(int result) {
  ended = true;
  result_ = result;
  Record("end " + std::to_string(result));
}

void RecordingView::PostQuit(int code) {
  if (!ended) result_ = -1;
  ended = true;
  Record("quit " + std::to_string(code));
}

std::vector<std::string> RecordingView::Calls(const std::string& prefix) const {
  std::vector<std::string> lines;
  for (const std::string& line : log) {
    if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
  }
  return lines;
}

}  // namespace ui_testing
