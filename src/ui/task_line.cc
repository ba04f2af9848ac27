#include "ui/task_line.h"

#include <algorithm>
#include <vector>

#include "base/progress_line.h"

namespace {

// A file's name keeps at least this many columns (or its whole width, when less) before the time
// left and the rate are added.
constexpr int kLeastForTask = 12;

int Columns(const std::string& text) {
  int used = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) used += byte < 0x80 ? 1 : 2;
  }
  return used;
}

std::string Joined(const std::vector<std::string>& pieces) {
  std::string text;
  for (const std::string& piece : pieces) text += (text.empty() ? "" : " ") + piece;
  return text;
}

// The figures that fit beside a task of `task_columns`, most wanted first.
std::string Figures(const FetchFigures& fetch, double rate, int columns, int task_columns) {
  std::vector<std::string> pieces;
  if (fetch.checking) pieces.push_back("確認中");
  if (fetch.bytes_total == 0) return Joined(pieces);
  pieces.push_back("全体 " + ByteCountText(fetch.bytes_done) + "/" +
                   ByteCountText(fetch.bytes_total));
  if (rate < 1) return Joined(pieces);
  const std::uint64_t left =
      fetch.bytes_total > fetch.bytes_done ? fetch.bytes_total - fetch.bytes_done : 0;
  const int keep = std::min(task_columns, kLeastForTask) + 1;
  for (const std::string& more : {"残り " + DurationText(static_cast<double>(left) / rate),
                                  ByteCountText(static_cast<std::uint64_t>(rate)) + "/s"}) {
    pieces.push_back(more);
    if (Columns(Joined(pieces)) + keep > columns) {
      pieces.pop_back();
      break;
    }
  }
  return Joined(pieces);
}

}  // namespace

std::string TaskLine(const std::string& task, const FetchFigures& fetch, double bytes_per_second,
                     int columns) {
  const std::string figures = Figures(fetch, bytes_per_second, columns, Columns(task));
  if (figures.empty()) return FitColumns(task, columns);
  const int room = columns - Columns(figures) - 1;
  if (room <= 0 || task.empty()) return FitColumns(figures, columns);
  return FitColumns(task, room) + " " + figures;
}
