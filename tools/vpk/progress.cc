#include "progress.h"

#include <cstdio>

#include "platform/file.h"

namespace vpk {
namespace {

constexpr std::uint64_t kWorthShowing = 64ull << 20;
constexpr int kWidth = 40;

}  // namespace

Progress::Progress(const std::string& label, std::uint64_t total)
    : label_(label),
      total_(total),
      shown_(total >= kWorthShowing && platform::StandardErrorIsTerminal()) {}

Progress::~Progress() {
  if (shown_ && last_percent_ >= 0) std::fputc('\n', stderr);
}

void Progress::Update(std::uint64_t done) {
  if (!shown_ || total_ == 0) return;
  const int percent = static_cast<int>(done * 100 / total_);
  if (percent == last_percent_) return;
  last_percent_ = percent;
  const int filled = percent * kWidth / 100;
  std::fprintf(stderr, "\r%s [%s%s] %3d%%", label_.c_str(), std::string(filled, '#').c_str(),
               std::string(kWidth - filled, '.').c_str(), percent);
  std::fflush(stderr);
}

}  // namespace vpk
