#include "update/block_way.h"

#include <optional>

#include "platform/file.h"

namespace {

// Smaller files come whole: by blocks they would cost four requests where the whole costs one,
// to save at most their size, and a release of small files asks for no block data at all.
constexpr std::uint64_t kSmallestBlockFile = 1 << 20;

}  // namespace

BlockWay::BlockWay(block_update::BlockUpdater& blocks, InstallFolder& folder, std::stop_token stop,
                   InstallWay& otherwise, std::uint64_t early_size)
    : blocks_(blocks),
      folder_(folder),
      stop_(std::move(stop)),
      otherwise_(otherwise),
      early_size_(early_size) {}

bool BlockWay::Takes(const InstallJob& job) const {
  const std::optional<std::uint64_t> size = OrgSizeOf(job.entry);
  return job.expected && size && *size >= kSmallestBlockFile &&
         !platform::IsSpecialFile(job.target) &&
         !folder_.Lists(block_update::PartPathOf(job.target));
}

bool BlockWay::StartsBeforeVerdict(const InstallJob& job) const {
  return Takes(job) && *OrgSizeOf(job.entry) >= early_size_;
}

void BlockWay::Install(const InstallJob& job) {
  ThrowIfStopped(stop_);
  folder_.Ready(job);
  using Outcome = block_update::BlockUpdater::Outcome;
  if (InstallByBlocks(job, nullptr) != Outcome::kInstalled) otherwise_.Install(job);
}

void BlockWay::InstallBeforeVerdict(const InstallJob& job, Verdict& verdict) {
  ThrowIfStopped(stop_);
  // A target the run may not write is only an error when the file differs.
  if (!folder_.TryReady(job.target)) {
    if (verdict.Differs()) Install(job);
    return;
  }
  using Outcome = block_update::BlockUpdater::Outcome;
  if (InstallByBlocks(job, &verdict) == Outcome::kNotThisWay && verdict.Differs()) {
    otherwise_.Install(job);
  }
}

block_update::BlockUpdater::Outcome BlockWay::InstallByBlocks(const InstallJob& job,
                                                              Verdict* verdict) {
  // The range requests report their own progress: the bytes fetched of those needed.
  const auto outcome = blocks_.Install({.index = job.index,
                                        .source = job.entry.path,
                                        .target = job.target,
                                        .package_url = job.package_url,
                                        .user_agent = job.entry.md5,
                                        .expected = *job.expected},
                                       verdict);
  if (outcome == block_update::BlockUpdater::Outcome::kInstalled) folder_.Installed(job);
  return outcome;
}
