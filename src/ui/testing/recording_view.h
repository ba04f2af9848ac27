// A view without a window for the dialog's tests: it records every call as one line of text, keeps
// the bars' state, and runs the modal loop by calling the dialog's timer without waiting.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "res/resource.h"
#include "ui/dialog_view.h"

namespace ui_testing {

struct Bar {
  int lower = 0, upper = 0, position = 0;
  bool operator==(const Bar&) const = default;
};

class RecordingView : public IDialogView {
 public:
  bool HasControl(int id) const override { return controls_.contains(id); }
  void MoveControl(int id, const ViewRect& rect) override {
    Record("move " + std::to_string(id) + " " + Text(rect));
  }
  void EnableControl(int id, bool enable) override {
    Record("enable " + std::to_string(id) + (enable ? " on" : " off"));
  }
  void SetBarRange(int id, int lower, int upper) override {
    bars[id].lower = lower;
    bars[id].upper = upper;
  }
  void SetBarPosition(int id, int position) override { bars[id].position = position; }
  void SetControlText(int id, const std::tstring& text) override {
    Record("text " + std::to_string(id) + " " + text);
  }
  void SetControlFont(int id, const FontRequest& font) override {
    Record("font " + std::to_string(id) + " " + std::to_string(font.height) + " " +
           std::to_string(font.width) + " " + std::to_string(font.weight));
  }
  bool ShowRunFigures(const RunProgress&) override { return shows_figures; }
  void SetTitle(const std::tstring& title) override { Record("title " + title); }
  void SetIcon(int) override {}
  void AppendSystemMenuItem(unsigned command, const std::tstring& text) override {
    Record("menu " + std::to_string(command) + " " + text);
  }
  void DefaultSysCommand(unsigned command) override {
    Record("default command " + std::to_string(command));
  }
  ViewRect GetDesktopArea() const override { return desktop; }
  void SetWindowRect(const ViewRect& rect) override { Record("window " + Text(rect)); }
  void SetSkin(const DibSection*) override {}
  void SetWindowRegion(const WindowRegion& shape) override { region = shape; }
  void ShowMessageBox(const std::tstring& caption, const std::tstring& text) override {
    Record("box " + caption + ": " + text);
  }
  void ShowAboutBox(const AboutBoxText& text) override {
    Record("about " + text.caption + ": " + text.version_line + " / " + text.second_line);
  }
  void StartTimer(int id, int period_ms) override {
    timer_running_ = true;
    Record("start timer " + std::to_string(id) + " " + std::to_string(period_ms));
  }
  void StopTimer(int id) override {
    timer_running_ = false;
    Record("stop timer " + std::to_string(id));
  }
  // Ticks the timer while it runs (on_tick first); once it stops, calls on_idle, or ends with 1
  // without one, until the dialog ends. Gives up after 6000 ticks.
  int RunModalLoop(IDialogEvents& events) override {
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
  void EndDialog(int result) override {
    ended_ = true;
    result_ = result;
    Record("end " + std::to_string(result));
  }
  void PostQuit(int code) override {
    if (!ended_) result_ = -1;
    ended_ = true;
    Record("quit " + std::to_string(code));
  }
  void RequestClose() override { Record("close"); }

  // Lines of the calls that match prefix, in order.
  std::vector<std::string> Calls(const std::string& prefix) const {
    std::vector<std::string> lines;
    for (const std::string& line : log) {
      if (line.starts_with(prefix)) lines.push_back(line);
    }
    return lines;
  }
  void RemoveControl(int id) { controls_.erase(id); }

  ViewRect desktop{0, 0, 1920, 1080};
  bool shows_figures = false;  // as the terminal does
  std::function<void(IDialogEvents&)> on_tick;
  std::function<void(IDialogEvents&)> on_idle;

  std::vector<std::string> log;
  std::map<int, Bar> bars;
  WindowRegion region;
  int ticks = 0;

 private:
  static std::string Text(const ViewRect& r) {
    return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
           std::to_string(r.height);
  }
  void Record(const std::string& line) { log.push_back(line); }

  std::set<int> controls_{IDC_MAIN_PROGRESS, IDC_TASK_PROGRESS, IDC_TASK_EDIT, IDC_START_GAME,
                          IDC_QUIT};
  bool timer_running_ = false;
  bool ended_ = false;
  int result_ = 0;
};

}  // namespace ui_testing
