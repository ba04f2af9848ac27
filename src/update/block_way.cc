#include "update/block_way.h"

#include <optional>

#include "platform/file.h"

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
  // The block data describes the file by its size, so only block data that checks out vouches for
  // the list's size field as the file's size.
  ExpectedContent expected = *job.expected;
  if (!expected.size) expected.size = OrgSizeOf(job.entry);
  // The range requests report their own progress: the bytes fetched of those needed.
  if (blocks_.Install({.index = job.index,
                       .source = job.entry.path,
                       .target = job.target,
                       .package_url = job.package_url,
                       .user_agent = job.entry.md5,
                       .expected = expected})) {
    folder_.Installed(job);
    return;
  }
  InstallJob whole = job;
  whole.drop_part = blocks_.HeldPart();
  otherwise_.Install(whole);
}
