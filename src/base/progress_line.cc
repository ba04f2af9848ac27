#include "base/progress_line.h"

#include <cstdio>
#include <ostream>

#include "platform/console.h"

namespace {

constexpr int kColumns = 79;  // one less than the terminal, so the line never wraps

}  // namespace

std::string ByteCountText(std::uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string DurationText(double seconds) {
  const auto whole = static_cast<std::uint64_t>(seconds + 0.5);
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                  static_cast<unsigned long long>(whole / 3600),
                  static_cast<unsigned long long>(whole / 60 % 60),
                  static_cast<unsigned long long>(whole % 60));
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(whole / 60),
                  static_cast<unsigned long long>(whole % 60));
  }
  return text;
}

ProgressOutput ProgressOutputFor(bool quiet) {
  if (quiet) return ProgressOutput::kQuiet;
  return platform::StandardErrorIsTerminal() ? ProgressOutput::kRedrawn : ProgressOutput::kPlain;
}

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

ProgressLine::ProgressLine(std::ostream& out, ProgressOutput output, Clock::time_point start)
    : out_(out), output_(output), start_(start) {}

ProgressLine::~ProgressLine() { End(); }

void ProgressLine::Update(const ProgressFigures& figures, const std::string& text,
                          Clock::time_point now) {
  if (output_ != ProgressOutput::kRedrawn) return;
  moved_ += figures.bytes_done >= figures_.bytes_done ? figures.bytes_done - figures_.bytes_done
                                                      : figures.bytes_done;
  figures_ = figures;
  text_ = text;
  stale_ = true;
  if (open_ && now - drawn_at_ < kRedrawPeriod) return;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  rate_ = seconds > 0 ? static_cast<double>(moved_) / seconds : 0;
  drawn_at_ = now;
  Draw();
}

void ProgressLine::End() {
  if (stale_) Draw();
  if (!open_) return;
  out_ << "\n" << std::flush;
  open_ = false;
}

void ProgressLine::Draw() {
  out_ << "\r" << Format(figures_, rate_, text_) << "\x1b[K" << std::flush;
  open_ = true;
  stale_ = false;
}

std::string ProgressLine::Format(const ProgressFigures& figures, double bytes_per_second,
                                 const std::string& text) {
  std::string line =
      std::to_string(figures.files_done) + "/" + std::to_string(figures.files_total) + " files  " +
      ByteCountText(figures.bytes_done) + "/" + ByteCountText(figures.bytes_total) + "  ";
  const std::uint64_t left =
      figures.bytes_total > figures.bytes_done ? figures.bytes_total - figures.bytes_done : 0;
  if (bytes_per_second >= 1) {
    line += ByteCountText(static_cast<std::uint64_t>(bytes_per_second)) + "/s  " +
            DurationText(static_cast<double>(left) / bytes_per_second) + " left";
  } else {
    line += "-- /s  --:-- left";
  }
  if (text.empty()) return line;
  const int room = kColumns - static_cast<int>(line.size()) - 2;
  return room > 0 ? line + "  " + FitColumns(text, room) : line;
}
