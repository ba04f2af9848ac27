// A view without a window for the dialog's tests: it records every call as one line of text, keeps
// the controls' state, and runs the modal loop by calling the dialog's timer without waiting.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ui/dialog_view.h"

namespace ui_testing {

struct Bar {
  int lower = 0, upper = 0, position = 0;
  bool operator==(const Bar&) const = default;
};

class RecordingView : public IDialogView {
 public:
  RecordingView();

  bool HasControl(int id) const override { return controls_.count(id) != 0; }
  void MoveControl(int id, const ViewRect& rect) override;
  void EnableControl(int id, bool enable) override;
  void SetBarRange(int id, int lower, int upper) override;
  void SetBarPosition(int id, int position) override;
  void SetControlText(int id, const std::tstring& text) override;
  void SetControlFont(int id, const FontRequest& font) override;
  void SetTitle(const std::tstring& title) override;
  void SetIcon(int icon_id) override;
  void AppendSystemMenuItem(unsigned command, const std::tstring& text) override;
  void DefaultSysCommand(unsigned command) override;
  ViewSize GetDesktopSize() const override { return desktop; }
  void SetWindowRect(const ViewRect& rect) override;
  void SetSkin(const DibSection* image) override;
  void SetWindowRegion(const WindowRegion& region) override;
  void ShowMessageBox(const std::tstring& caption, const std::tstring& text) override;
  void ShowAboutBox(const AboutBoxText& text) override;
  void StartTimer(int id, int period_ms) override;
  void StopTimer(int id) override;
  // Ticks the timer while it runs; when it stops, calls on_idle (or ends with 1 without one) until
  // the dialog ends. on_tick runs before each tick. Gives up after max_ticks ticks.
  int RunModalLoop(IDialogEvents& events) override;
  void EndDialog(int result) override;
  void PostQuit(int code) override;
  // Recorded; the close command reaches the dialog before the next tick.
  void RequestClose() override;

  // Lines of the calls that match prefix, in order.
  std::vector<std::string> Calls(const std::string& prefix) const;
  void RemoveControl(int id) { controls_.erase(id); }

  ViewSize desktop{1920, 1080};
  std::function<void(IDialogEvents&, int tick)> on_tick;
  std::function<void(IDialogEvents&)> on_idle;
  int max_ticks = 6000;  // a minute of 10 ms ticks

  std::vector<std::string> log;
  std::map<int, Bar> bars;
  std::map<int, std::string> texts;
  std::map<int, bool> enabled;
  std::map<int, ViewRect> rects;
  std::vector<std::pair<std::string, std::string>> boxes;  // caption, text
  WindowRegion region;
  bool timer_running = false;
  bool ended = false;
  int ticks = 0;

 private:
  void Record(const std::string& line) { log.push_back(line); }

  std::set<int> controls_;
  int result_ = 0;
  bool close_requested_ = false;
};

}  // namespace ui_testing
