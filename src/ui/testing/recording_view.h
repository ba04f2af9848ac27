// A view without a window for the dialog's tests: it records every call as one line of text, keeps
// the controls' state, and runs the modal loop by calling the dialog's timer without waiting.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
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
  void MoveControl(int id, const ViewRect& rect) override;
  void EnableControl(int id, bool enable) override;
  void SetBarRange(int id, int lower, int upper) override;
  void SetBarPosition(int id, int position) override;
  void SetControlText(int id, const std::tstring& text) override;
  void SetControlFont(int id, const FontRequest& font) override;
  void SetTitle(const std::tstring& title) override { Record("title " + title); }
  void SetIcon(int) override {}
  void AppendSystemMenuItem(unsigned command, const std::tstring& text) override;
  void DefaultSysCommand(unsigned command) override;
  ViewSize GetDesktopSize() const override { return desktop; }
  void SetWindowRect(const ViewRect& rect) override;
  void SetSkin(const DibSection*) override {}
  void SetWindowRegion(const WindowRegion& shape) override { region = shape; }
  void ShowMessageBox(const std::tstring& caption, const std::tstring& text) override;
  void ShowAboutBox(const AboutBoxText& text) override;
  void StartTimer(int id, int period_ms) override;
  void StopTimer(int id) override;
  // Ticks the timer while it runs (on_tick first); once it stops, calls on_idle, or ends with 1
  // without one, until the dialog ends. Gives up after 6000 ticks.
  int RunModalLoop(IDialogEvents& events) override;
  void EndDialog(int result) override;
  void PostQuit(int code) override;
  void RequestClose() override { Record("close"); }

  // Lines of the calls that match prefix, in order.
  std::vector<std::string> Calls(const std::string& prefix) const;
  void RemoveControl(int id) { controls_.erase(id); }

  ViewSize desktop{1920, 1080};
  std::function<void(IDialogEvents&)> on_tick;
  std::function<void(IDialogEvents&)> on_idle;

  std::vector<std::string> log;
  std::map<int, Bar> bars;
  std::map<int, std::string> texts;
  std::vector<std::pair<std::string, std::string>> boxes;  // caption, text
  WindowRegion region;
  int ticks = 0;

 private:
  void Record(const std::string& line) { log.push_back(line); }

  std::set<int> controls_{IDC_MAIN_PROGRESS, IDC_TASK_PROGRESS, IDC_TASK_EDIT, IDC_START_GAME,
                          IDC_QUIT};
  bool timer_running_ = false;
  bool ended_ = false;
  int result_ = 0;
};

}  // namespace ui_testing
