#include "update/block_way.h"

#include <optional>

#include "platform/file.h"

namespace {

// Smaller files come whole: by blocks they would cost four requests where the whole costs one,
// to save at most their size, and a release of small files asks for no block data at all.
constexpr std::uint64_t kSmallestBlockFile = 1 << 20;

}  // namespace

BlockWay::BlockWay(block_update::BlockUpdater& blocks, InstallFolder& folder, std::stop_token stop,
                   InstallWay& otherwise)
    : blocks_(blocks), folder_(folder), stop_(std::move(stop)), otherwise_(otherwise) {}

bool BlockWay::Takes(const InstallJob& job) const {
  const std::optional<std::uint64_t> size = OrgSizeOf(job.entry);
  return job.expected && size && *size >= kSmallestBlockFile &&
         !platform::IsSpecialFile(job.target) &&
         !folder_.Lists(block_update::PartPathOf(job.target));
}

void BlockWay::Install(const InstallJob& job) {
  ThrowIfStopped(stop_);
  folder_.Ready(job);
  // The range requests report their own progress: the bytes fetched of those needed.
  if (blocks_.Install({.index = job.index,
                       .source = job.entry.path,
                       .target = job.target,
                       .package_url = job.package_url,
                       .user_agent = job.entry.md5,
                       .expected = *job.expected})) {
    folder_.Installed(job);
  } else {
    otherwise_.Install(job);
  }
}
