#include "update/block_way.h"

#include <optional>

#include "platform/file.h"
#include "site/site_names.h"
#include "update/site_copies.h"

BlockWay::BlockWay(block_update::BlockUpdater& blocks, InstallFolder& folder, std::stop_token stop,
                   InstallWay& otherwise, std::uint64_t early_size, SiteCopies* copies)
    : blocks_(blocks),
      folder_(folder),
      stop_(std::move(stop)),
      otherwise_(otherwise),
      early_size_(early_size),
      copies_(copies) {}

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
  if (InstallByBlocks(job, nullptr) != Outcome::kInstalled) Otherwise(job);
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
    Otherwise(job);
  }
}

void BlockWay::Otherwise(const InstallJob& job) {
  InstallJob whole = job;
  whole.drop_part = blocks_.HeldPart();
  otherwise_.Install(whole);
}

block_update::BlockUpdater::Outcome BlockWay::InstallByBlocks(const InstallJob& job,
                                                              Verdict* verdict) {
  // The block data describes the file by its size, so only block data that checks out vouches for
  // the list's size field as the file's size.
  ExpectedContent expected = *job.expected;
  if (!expected.size) expected.size = OrgSizeOf(job.entry);
  // The range requests report their own progress: the bytes fetched of those needed.
  const auto outcome = FromCopies({.index = job.index,
                                   .source = job.entry.path,
                                   .target = job.target,
                                   .package_url = job.package_url,
                                   .user_agent = job.entry.md5,
                                   .expected = expected},
                                  job.entry, verdict);
  if (outcome == block_update::BlockUpdater::Outcome::kInstalled) folder_.Installed(job);
  return outcome;
}

block_update::BlockUpdater::Outcome BlockWay::FromCopies(block_update::FileJob job,
                                                         const FileEntry& entry, Verdict* verdict) {
  using Outcome = block_update::BlockUpdater::Outcome;
  if (copies_ == nullptr || !copies_->Several()) return blocks_.Install(job, verdict);
  // With no copy left the file goes the other way, which tries the copies again for the whole.
  while (const std::optional<SiteCopies::Use> use = copies_->Pick()) {
    job.list_url = copies_->ListUrl(use->copy);
    job.package_url = PackageUrl(job.list_url, entry.Listed(), entry.orgsize);
    const Outcome outcome = blocks_.Install(job, verdict);
    copies_->Ended(*use, blocks_.Fetched());
    const std::optional<Exception>& failure = blocks_.Failure();
    if (outcome != Outcome::kNotThisWay || !failure || !copies_->Blame(*use, *failure)) {
      return outcome;
    }
  }
  return Outcome::kNotThisWay;
}
