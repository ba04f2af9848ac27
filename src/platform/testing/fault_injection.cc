#include "platform/testing/fault_injection.h"

#include <algorithm>
#include <atomic>

#include "platform/testing/file_faults.h"

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
  bool ReplaceFails() override { return replace_fails.load(); }

  std::atomic<std::int64_t> write_budget{-1};
  std::atomic<bool> replace_fails{false};
};

// Installed on first use, so only programs that inject faults pay for the checks.
InjectedFaults& Faults() {
  static InjectedFaults faults;
  SetFileFaults(&faults);
  return faults;
}

}  // namespace

void InjectWriteFailureAfter(std::int64_t bytes) { Faults().write_budget.store(bytes); }
void InjectReplaceFailure(bool fail) { Faults().replace_fails.store(fail); }

}  // namespace platform
