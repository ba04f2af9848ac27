#include "ui/console/console_view.h"

#include <gtest/gtest.h>

#include <sstream>

#include "res/resource.h"

namespace {

// Plays a short run on the view: two files, a message box, then the end of the run.
class PlayedRun : public IDialogEvents {
 public:
  explicit PlayedRun(IDialogView& view) : view_(view) {}

  void OnTimer(int) override {
    ++ticks_;
    const char* files[] = {"", "a.txt", "a.txt", "b.txt"};
    if (ticks_ <= 3) {
      view_.ShowRunFigures({2, ticks_ / 3, files[ticks_], 1000, ticks_ * 250u});
      view_.SetControlText(IDC_TASK_EDIT, files[ticks_]);
      return;
    }
    view_.StopTimer(0);
    view_.ShowMessageBox("確認", "one\r\ntwo");
    view_.EnableControl(IDC_START_GAME, true);
  }
  void OnCommand(int id) override {
    commands.push_back(id);
    if (id == IDC_START_GAME) view_.PostQuit(0);
    if (id == IDC_QUIT) view_.EndDialog(1);
  }
  void OnSysCommand(unsigned) override {}
  void OnOK() override {}
  void OnCancel() override {}

  std::vector<int> commands;

 private:
  IDialogView& view_;
  int ticks_ = 0;
};

struct Console {
  explicit Console(ConsoleOptions options, const std::string& input = "")
      : in(input), view(in, out, err, options) {}
  int Run(PlayedRun& run) {
    view.StartTimer(0, 1);
    return view.RunModalLoop(run);
  }
  std::istringstream in;
  std::ostringstream out, err;
  ConsoleView view;
};

TEST(ConsoleViewTest, WithoutATerminalPrintsOneLinePerFileAndDecidesByTheFlag) {
  for (bool start : {false, true}) {
    Console console({start, false, false}, "y\n");
    PlayedRun run(console.view);
    EXPECT_EQ(console.Run(run), start ? -1 : 1);
    EXPECT_EQ(console.err.str(), "[0/2] a.txt\n[1/2] b.txt\n");
    // Nothing is read: there is nobody to answer.
    EXPECT_EQ(console.out.str(), "確認\none\ntwo\n");
    EXPECT_EQ(run.commands, std::vector<int>{start ? IDC_START_GAME : IDC_QUIT});
    EXPECT_EQ(console.in.tellg(), 0);
  }
}

TEST(ConsoleViewTest, OnATerminalRedrawsInPlaceWaitsForEnterAndAsks) {
  for (const char* answer : {"y", "n", ""}) {
    Console console({false, true, true}, std::string("\n") + answer + "\n");
    PlayedRun run(console.view);
    console.Run(run);
    // Drawn at once, then (the rate aside) the figures the run ended with.
    const std::string err = console.err.str();
    EXPECT_EQ(err.rfind("\r0/2 files  250 B/1000 B  ", 0), 0u) << err;
    EXPECT_NE(err.find("\r1/2 files  750 B/1000 B  "), std::string::npos) << err;
    EXPECT_TRUE(err.ends_with(" left  b.txt\x1b[K\n")) << err;
    EXPECT_EQ(console.out.str(), "確認\none\ntwo\n[Enter]ゲームを起動しますか? [y/N] ");
    EXPECT_EQ(run.commands, std::vector<int>{answer[0] == 'y' ? IDC_START_GAME : IDC_QUIT});
  }
}

}  // namespace
