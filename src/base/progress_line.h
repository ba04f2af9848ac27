// One line that tells where long work stands: files and bytes done of the total, the rate, and the
// time left. On a terminal it is redrawn in place, at most four times a second, so that drawing
// never costs the work anything measurable; elsewhere (a pipe, a log) nothing is redrawn and the
// caller prints its own plain lines. One thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>

enum class ProgressOutput {
  kQuiet,    // asked for errors only
  kPlain,    // not a terminal: no line, the caller's plain lines
  kRedrawn,  // a terminal: the line, redrawn in place
};

// kQuiet when asked, otherwise by whether standard error is a terminal.
ProgressOutput ProgressOutputFor(bool quiet);

struct ProgressFigures {
  std::uint64_t files_done = 0;
  std::uint64_t files_total = 0;
  std::uint64_t bytes_done = 0;
  std::uint64_t bytes_total = 0;
};

class ProgressLine {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kRedrawPeriod = std::chrono::milliseconds(250);

  // out: where the line goes (standard error); it must outlive the line.
  ProgressLine(std::ostream& out, ProgressOutput output, Clock::time_point start = Clock::now());
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  ProgressOutput Output() const { return output_; }

  // The work's figures and what it does now (a file's name, a step). bytes_done may fall back
  // when the figures describe one transfer after another: the rate counts every byte moved.
  void Update(const ProgressFigures& figures, const std::string& text = "",
              Clock::time_point now = Clock::now());
  // Draws the latest figures and ends the line, so that what follows starts on a line of its own.
  void End();

  // "3/10 files  1.5 MiB/12.0 MiB  2.0 MiB/s  0:05 left" and the text, cut to fit 80 columns.
  static std::string Format(const ProgressFigures& figures, double bytes_per_second,
                            const std::string& text);

 private:
  void Draw();

  std::ostream& out_;
  ProgressOutput output_;
  Clock::time_point start_;
  Clock::time_point drawn_at_{};
  bool open_ = false;   // a line without its line break is on the terminal
  bool stale_ = false;  // figures newer than the line drawn
  ProgressFigures figures_;
  std::string text_;
  std::uint64_t moved_ = 0;  // bytes moved since the start, across transfers
  double rate_ = 0;
};

// "512 B", "1.5 MiB": bytes in the largest binary unit they reach, to a tenth.
std::string ByteCountText(std::uint64_t bytes);
// "0:05", "1:02:03": seconds rounded, as minutes and seconds, with hours when there are any.
std::string DurationText(double seconds);

// Cut to `columns` terminal columns, a character outside ASCII taken as two (as Japanese texts
// are); never in the middle of a UTF-8 sequence.
std::string FitColumns(const std::string& text, int columns);
