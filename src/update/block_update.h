// Installs a listed file that differs from the installed copy by fetching only the bytes that copy
// lacks. The release's block data (update/block_index.h) tells which blocks of the new file exist
// anywhere in the old one (update/block_matcher.h); the rest comes from the file's one-entry
// package by single-range requests, unscrambled at its offset. The new file is assembled beside
// its target under a resumable part name (platform::ResumableFile) in file order, so that a cut run
// leaves a prefix the next run checks block by block again and continues.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

#include "base/exception.h"
#include "base/tstring.h"
#include "net/http_client.h"
#include "site/block_data.h"
#include "site/block_index.h"
#include "site/block_matcher.h"
#include "site/release_signature.h"
#include "storage/byte_stream.h"
#include "storage/i_file_manager.h"
#include "update/install_way.h"

class RangeQueue;

namespace block_update {

// One listed file that differs.
struct FileJob {
  std::size_t index = 0;     // its list line
  std::tstring source;       // the installed file whose blocks are reused; may be absent
  std::tstring target;       // where the new file goes; its folder exists
  std::tstring package_url;  // the file's one-entry package
  // The list URL of the copy of the site the file's documents and package come from; empty: the
  // site's own.
  std::tstring list_url = {};
  std::tstring user_agent;   // what the package's requests say, as the whole download's does
  ExpectedContent expected;  // a size is required
};

// The bytes the current file needs fetched and those fetched so far.
using FetchProgress = std::function<void(std::uint64_t needed, std::uint64_t fetched)>;

// Where a run reads block data: the list it fetched and what checks it.
struct Site {
  std::tstring list_url;
  ListDigest list;
  std::size_t list_entries = 0;
  KeySet keys;  // empty: the release is not signed
};

// The clients that fetch ranges side by side: how many, and how each is prepared.
struct Fetchers {
  std::function<void(HttpClient&)> setup;
  int count = 1;
};

struct PackageData;
class PartWriter;
class EarlyFetches;

class BlockUpdater {
 public:
  // client is used by the caller's thread only, between the caller's own requests; a stop ends
  // the reading of files within one buffer, as the client's abort ends a transfer.
  BlockUpdater(HttpClient& client, Site site, std::stop_token stop, FetchProgress progress,
               Fetchers fetchers);
  ~BlockUpdater();

  enum class Outcome {
    kInstalled,
    // The verdict came and the installed file is the listed one: nothing was put in place.
    kCurrent,
    // No block data that checks out, ranges not served, a reply or a block that is not what was
    // asked, a failure to read or write: the caller downloads the file whole.
    kNotThisWay,
  };
  // Puts the new file in place. Nothing unchecked reaches the target. A stop throws; the part
  // written so far is kept for the next run on every way out but success.
  //
  // With a verdict still to come, the documents are fetched before it; a file of another size, or
  // with a block near its start that differs from the installed bytes there, is shown to differ
  // and goes on at once; any other waits for the verdict before its search. The new file is put in
  // place only once the verdict says the installed one differs.
  Outcome Install(const FileJob& job, Verdict* verdict = nullptr);
  // The release's block data was read and checks out, so its server answers range requests.
  // Never fetches it: a release of small files asks for none.
  bool ServesRanges() const { return index_state_ == IndexState::kReady; }
  // The release's block data, fetched when not asked for yet, is bound to this very list: the list
  // is then the release tool's, whose size fields are the files' sizes.
  bool VouchesForSizes();
  // The last Install made the target's part or checked one that a cut run left: once the file is
  // in place by another way, that part is of no use.
  bool HeldPart() const { return held_part_; }
  // The bytes of the new file the last Install fetched.
  std::uint64_t Fetched() const { return fetched_; }
  // What ended the last Install on its way when that was a failure rather than what the file or
  // the block data are; none otherwise.
  const std::optional<Exception>& Failure() const { return failure_; }

 private:
  bool IndexReady();
  bool LoadIndex();
  Outcome TryInstall(const FileJob& job, Verdict* verdict);
  // Plans the new file from the coarse data and the old file, writes it into the part and puts it
  // in place. documents holds the package's start as its second range.
  Outcome WritePart(const FileJob& job, const block_index::Entry& entry,
                    const block_data::BlockData& data, RangeQueue& documents, Verdict* verdict);
  // Each part of the plan as it becomes final, in file order.
  using PlanPart = std::function<void(std::span<const block_data::PlanRange>)>;
  // The new file as copies from the old file the matcher searched and ranges to fetch; empty when
  // the fine records are not served. The fine records are the queue's first ranges: those asked
  // for early, then the rest. Each part of the plan goes to ready_part as soon as the fine records
  // it depends on are in.
  std::vector<block_data::PlanRange> PlanOf(const block_index::Entry& entry,
                                            const block_data::BlockData& data,
                                            block_data::BlockMatcher& matcher, std::uint64_t resume,
                                            EarlyFetches& early, RangeQueue& queue,
                                            const PlanPart& ready_part);
  // Writes the plan, whose ranges to fetch are the queue's ranges at `ranges`, in order; false
  // when a range is not served or the old file no longer reads.
  bool Write(const PackageData& package, const std::vector<block_data::PlanRange>& plan,
             RangeQueue& data, const std::vector<std::size_t>& ranges, ByteStream& old,
             PartWriter& writer);

  HttpClient& client_;
  Site site_;
  std::stop_token stop_;
  FetchProgress progress_;
  Fetchers fetchers_;
  // Read by the transfers of other threads, which ask whether ranges are served.
  enum class IndexState { kUnknown, kReady, kUnusable };
  std::atomic<IndexState> index_state_ = IndexState::kUnknown;
  block_index::Index index_;
  bool held_part_ = false;
  std::uint64_t fetched_ = 0;
  std::optional<Exception> failure_;
  std::tstring copy_url_;  // the list URL of the copy the current Install fetches from
};

// The part name of a target, in the same folder and path form.
std::tstring PartPathOf(const std::tstring& target);

}  // namespace block_update
