#include "platform/testing/fault_injection.h"

#include <algorithm>
#include <atomic>

#include "platform/file_faults.h"

namespace platform {
namespace {

class InjectedFaults final : public FileFaults {
 public:
  std::size_t WritableBytes(std::size_t count) override {
    const std::int64_t budget = write_budget.load();
    if (budget < 0) return count;
    const auto allowed = std::min<std::size_t>(count, static_cast<std::size_t>(budget));
    write_budget.fetch_sub(static_cast<std::int64_t>(allowed));
    return allowed;
  }
  bool ReplaceFails() override {
    int passing = replace_budget.load();
    while (passing > 0 && !replace_budget.compare_exchange_weak(passing, passing - 1)) {
    }
    return passing == 0;
  }

  std::atomic<std::int64_t> write_budget{-1};
  std::atomic<int> replace_budget{-1};  // replacements that still pass; negative: all pass
};

// Installed on first use, so only programs that inject faults pay for the checks.
InjectedFaults& Faults() {
  static InjectedFaults faults;
  SetFileFaults(&faults);
  return faults;
}

}  // namespace

void InjectWriteFailureAfter(std::int64_t bytes) { Faults().write_budget.store(bytes); }
void InjectReplaceFailure(bool fail, int after) {
  Faults().replace_budget.store(fail ? after : -1);
}

}  // namespace platform
