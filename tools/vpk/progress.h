// A progress bar on standard error, drawn only when standard error is a terminal and the work is
// large enough to be worth watching.
#pragma once

#include <cstdint>
#include <string>

namespace vpk {

class Progress {
 public:
  Progress(const std::string& label, std::uint64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // done: the amount of work finished so far, out of total.
  void Update(std::uint64_t done);

 private:
  std::string label_;
  std::uint64_t total_;
  bool shown_;
  int last_percent_ = -1;
};

}  // namespace vpk
