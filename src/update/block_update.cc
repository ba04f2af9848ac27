#include "update/block_update.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/exception.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "site/block_data.h"
#include "site/block_matcher.h"
#include "site/site_names.h"
#include "storage/byte_stream.h"
#include "storage/one_entry_package.h"
#include "storage/package_format.h"
#include "update/early_fetches.h"
#include "update/install_way.h"
#include "update/part_writer.h"
#include "update/range_queue.h"
#include "update/release_protocol.h"

namespace block_update {

// Where the file's bytes lie in its one-entry package and how they are scrambled.
struct PackageData {
  std::uint64_t offset = 0;
  bool scrambled = false;
  std::uint32_t seed = 0;
};

namespace {

using block_data::BlockData;
using block_data::PlanRange;

// No range request asks for more: a reply is bounded in time by its idle limits, a cut one costs
// at most this much again, and the ranges fetched ahead of the writing hold at most this each.
constexpr std::uint64_t kMaxRangeLength = 1 << 20;
// Gaps whose fine records lie closer than this many coarse blocks share one request: a request's
// headers cost more than the records between them.
constexpr std::uint64_t kFineJoinBlocks = 4;
constexpr std::size_t kCopyBuffer = 1 << 20;
// The old file's blocks compared in place before its search, to show early that it differs.
constexpr std::uint64_t kNearStartBytes = 16 << 20;

// Reads another stream, ending with a stop at the next read, so that the search of a large file
// stops within one buffer.
class StoppableStream final : public ByteStream {
 public:
  StoppableStream(ByteStream& inner, std::stop_token stop)
      : inner_(inner), stop_(std::move(stop)) {}
  std::uint64_t Size() override { return inner_.Size(); }
  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t count) override {
    ThrowIfStopped(stop_);
    return inner_.ReadAt(offset, buffer, count);
  }

 private:
  ByteStream& inner_;
  std::stop_token stop_;
};

// Bytes first .. first + length - 1 of url (length > 0); none when the server does not serve
// ranges there.
std::optional<std::string> FetchBytes(HttpClient& client, const std::tstring& url,
                                      std::uint64_t first, std::uint64_t length) {
  RangeText sink;
  if (!client.RequestRange(url, first, first + length - 1, sink).served) return std::nullopt;
  return std::move(sink.text);
}

// The package's header and its one record, fetched by range. None when they were not served or
// do not describe the listed file: its size, stored as it is, with the listed digest.
std::optional<PackageData> PackageStartOf(const std::optional<std::string>& start,
                                          const ExpectedContent& expected) {
  if (!start) return std::nullopt;
  const OneEntryStart package =
      OneEntryStart::Decode(reinterpret_cast<const std::uint8_t*>(start->data()));
  if (!package.Holds(*expected.size, expected.md5)) return std::nullopt;
  const WPACKAGE_INFO_CELL& record = package.record;
  return PackageData{record.dataOffset, record.IsScrambled(), DataSeed(record)};
}

// The entry's documents describe the expected file, and its coarse document is not longer than
// any of a file that size.
bool Describes(const block_index::Entry& entry, const ExpectedContent& expected) {
  // No coarse document of a file this size is longer than one with the smallest blocks.
  const std::uint64_t bound =
      block_data::kHeaderSize +
      block_data::kCoarseRecordSize * (*expected.size / block_data::kMinCoarseSize + 1);
  return std::equal(expected.md5.begin(), expected.md5.end(), entry.md5.begin()) &&
         entry.coarse_size != 0 && entry.coarse_size <= bound;
}

// The coarse document fetched for entry, when it is the one the index names and describes a file
// of this size.
std::optional<BlockData> CoarseOf(const block_index::Entry& entry, std::uint64_t size,
                                  const std::optional<std::string>& document) {
  if (!document || platform::Sha256Of(*document) != entry.coarse_sha256) return std::nullopt;
  BlockData data = block_data::ParseBlockData(*document);
  if (data.file_size != size) return std::nullopt;
  return data;
}

// Whether the old file has another size, or a block of the new file differs from the old file's
// bytes at its offset among those in the first kNearStartBytes: most changed files show it there
// long before their digest or the search would.
bool DiffersNearStart(const BlockData& data, ByteStream& old) {
  if (old.Size() != data.file_size) return true;
  block_data::BlockHasher hasher;
  std::vector<std::uint8_t> bytes(data.coarse_size);
  for (std::uint64_t block = 0;
       block < data.BlockCount() && data.BlockOffset(block) < kNearStartBytes; ++block) {
    const std::uint64_t size = data.BlockLength(block);
    if (old.ReadAt(data.BlockOffset(block), bytes.data(), size) !=
        static_cast<std::int64_t>(size)) {
      return false;
    }
    if (!HoldsBlock(hasher, data, block, bytes.data())) return true;
  }
  return false;
}

// Takes each fetched range's bytes, unscrambles them in place at their place in the file and hands
// them to the writer.
class FetchedData {
 public:
  FetchedData(const PackageData& package, PartWriter& writer,
              const std::function<void(std::size_t)>& fetched)
      : package_(package), writer_(writer), fetched_(fetched) {}

  // The range's bytes start at file offset `offset`; ranges come in file order.
  void Put(std::uint64_t offset, std::string& bytes) {
    auto* data = reinterpret_cast<std::uint8_t*>(bytes.data());
    if (package_.scrambled) {
      if (offset < key_position_ || !keys_started_) {
        keys_.SetPosition(package_.seed, offset);
        keys_started_ = true;
      } else {
        keys_.Skip(offset - key_position_);
      }
      keys_.Apply(data, bytes.size());
      key_position_ = offset + bytes.size();
    }
    writer_.Put(data, bytes.size());
    fetched_(bytes.size());
  }

 private:
  const PackageData& package_;
  PartWriter& writer_;
  const std::function<void(std::size_t)>& fetched_;
  KeyStream keys_;
  bool keys_started_ = false;
  std::uint64_t key_position_ = 0;
};

// The plan cut to what is still to be written after offset `from`.
std::vector<PlanRange> PlanFrom(std::span<const PlanRange> part, std::uint64_t from) {
  std::vector<PlanRange> plan(part.begin(), part.end());
  std::erase_if(plan,
                [from](const PlanRange& range) { return range.offset + range.length <= from; });
  if (!plan.empty() && plan.front().offset < from) {
    const std::uint64_t cut = from - plan.front().offset;
    plan.front().offset += cut;
    plan.front().old_offset += cut;
    plan.front().length -= cut;
  }
  return plan;
}

// The requests for a plan's ranges to fetch, each cut to the longest asked for at once.
std::vector<RangeQueue::Range> FetchesOf(std::span<const PlanRange> plan,
                                         const PackageData& package, const std::tstring& url) {
  std::vector<RangeQueue::Range> ranges;
  for (const PlanRange& range : plan) {
    for (std::uint64_t done = 0; !range.copy && done < range.length; done += kMaxRangeLength) {
      const std::uint64_t first = package.offset + range.offset + done;
      ranges.push_back({url, first, first + std::min(range.length - done, kMaxRangeLength) - 1});
    }
  }
  return ranges;
}

// The package's start, taken from the documents' queue once, by whichever thread needs it first.
class PackageStart {
 public:
  PackageStart(RangeQueue& documents, const ExpectedContent& expected)
      : documents_(documents), expected_(expected) {}

  const std::optional<PackageData>& Get() {
    std::lock_guard<std::mutex> hold(lock_);
    if (!std::exchange(taken_, true)) {
      try {
        data_ = PackageStartOf(documents_.Take(1), expected_);
      } catch (...) {
        failure_ = std::current_exception();
      }
    }
    if (failure_) std::rethrow_exception(failure_);
    return data_;
  }

 private:
  RangeQueue& documents_;
  const ExpectedContent& expected_;
  std::mutex lock_;
  bool taken_ = false;
  std::optional<PackageData> data_;
  std::exception_ptr failure_;
};

// Gaps refined together, by records asked for early or by one request.
struct FineGroup {
  std::size_t first = 0, last = 0;  // gaps
  bool early = false;
};

// The gaps in groups; the requests of those whose records are not in yet are appended to ranges.
std::vector<FineGroup> GroupsOf(const block_index::Entry& entry, const BlockData& data,
                                const std::vector<block_data::BlockRun>& gaps,
                                const EarlyFetches& early, const std::tstring& fine_url,
                                std::vector<RangeQueue::Range>& ranges) {
  std::vector<FineGroup> groups;
  for (std::size_t first = 0; first < gaps.size();) {
    if (early.Holds(gaps[first])) {
      groups.push_back({first, first, true});
      ++first;
      continue;
    }
    // Gaps whose records lie close share a request; the requests run side by side.
    std::size_t last = first;
    while (last + 1 < gaps.size() && gaps[last + 1].first - gaps[last].end < kFineJoinBlocks &&
           !early.Holds(gaps[last + 1])) {
      ++last;
    }
    const std::uint64_t offset = data.FineRecordsOffset(gaps[first].first);
    const std::uint64_t length = data.FineRecordsLength(gaps[first].first, gaps[last].end);
    if (length > entry.fine_size || offset > entry.fine_size - length) {
      throw DownloadManagerException("Block data error(fine records outside their document).",
                                     true);
    }
    const std::uint64_t at = entry.fine_offset + offset;
    ranges.push_back({fine_url, at, at + length - 1});
    groups.push_back({first, last, false});
    first = last + 1;
  }
  return groups;
}

}  // namespace

std::tstring PartPathOf(const std::tstring& target) {
  std::tstring path(target);
  path.ToBackslashes();
  const std::size_t slash = path.rfind('\\');
  const std::size_t name = slash == std::tstring::npos ? 0 : slash + 1;
  return path.substr(0, name) + platform::ResumablePartName(path.substr(name));
}

BlockUpdater::BlockUpdater(HttpClient& client, Site site, std::stop_token stop,
                           FetchProgress progress, Fetchers fetchers)
    : client_(client),
      site_(std::move(site)),
      stop_(std::move(stop)),
      progress_(std::move(progress)),
      fetchers_(std::move(fetchers)) {}

BlockUpdater::~BlockUpdater() = default;

BlockUpdater::Outcome BlockUpdater::Install(const FileJob& job, Verdict* verdict) {
  held_part_ = false;
  fetched_ = 0;
  failure_.reset();
  copy_url_ = job.list_url.empty() ? site_.list_url : job.list_url;
  try {
    return TryInstall(job, verdict);
  } catch (const Exception& failure) {
    // A stop is the one interruption that is no error: it ends the run, not only this way.
    if (!failure.IsError()) throw;
    failure_ = failure;
    return Outcome::kNotThisWay;
  }
}

bool BlockUpdater::VouchesForSizes() {
  try {
    return IndexReady();
  } catch (const Exception& failure) {
    if (!failure.IsError()) throw;
    return false;
  }
}

bool BlockUpdater::IndexReady() {
  if (index_state_ == IndexState::kUnknown) {
    // Whatever goes wrong below leaves the block data unused for the rest of the run.
    index_state_ = IndexState::kUnusable;
    if (LoadIndex()) index_state_ = IndexState::kReady;
  }
  return index_state_ == IndexState::kReady;
}

bool BlockUpdater::LoadIndex() {
  using namespace block_index;
  const std::uint64_t index_size = kIndexHead + kEntrySize * std::uint64_t{site_.list_entries};
  if (site_.list_entries == 0 || index_size > kMaxIndexSize) return false;
  const std::optional<std::string> start = FetchBytes(
      client_, UrlBesideList(site_.list_url, BesideList::kBlocks), 0, kHeaderSize + index_size);
  if (!start) return false;
  Index index = ParseIndex(*start);
  // Block data left beside a newer list describes other files.
  if (index.entries.size() != site_.list_entries || !(index.list == site_.list)) return false;
  if (!site_.keys.empty()) {
    const Signed vouched = VerifyBlocks(
        FetchSignatureDocument(client_, UrlBesideList(site_.list_url, BesideList::kBlocksSignature),
                               block_index::kMaxSignatureSize),
        site_.keys);
    const std::string_view bytes = IndexBytes(*start);
    const ListDigest index_digest{bytes.size(), platform::Sha256Of(bytes)};
    if (!(vouched.list == site_.list) || !(vouched.index == index_digest)) return false;
  }
  index_ = std::move(index);
  return true;
}

std::vector<PlanRange> BlockUpdater::PlanOf(const block_index::Entry& entry, const BlockData& data,
                                            block_data::BlockMatcher& matcher, std::uint64_t resume,
                                            EarlyFetches& early, RangeQueue& queue,
                                            const PlanPart& ready_part) {
  early.SearchEnded();
  std::vector<block_data::BlockRun> gaps = matcher.Gaps();
  // The blocks a cut run already wrote need no fine records.
  std::erase_if(
      gaps, [&](const block_data::BlockRun& gap) { return data.BlockOffset(gap.end) <= resume; });
  std::vector<RangeQueue::Range> ranges;
  const std::vector<FineGroup> groups =
      GroupsOf(entry, data, gaps, early, UrlBesideList(copy_url_, BesideList::kFine), ranges);
  std::size_t request = queue.Add(std::move(ranges), RangeQueue::More::kYes);
  // Once a group is refined, the blocks up to the next group's first gap are planned for good;
  // the plan's last range may still grow by the next part, so it is handed over with that one.
  std::vector<PlanRange> plan;
  std::uint64_t planned = 0;
  std::size_t handed = 0;
  const auto plan_to = [&](std::uint64_t end, bool last) {
    matcher.PlanBlocks(plan, planned, end);
    planned = end;
    const std::size_t ready = last || plan.empty() ? plan.size() : plan.size() - 1;
    if (ready > handed) ready_part(std::span(plan).subspan(handed, ready - handed));
    handed = std::max(handed, ready);
  };
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const FineGroup& group = groups[i];
    std::optional<std::string> fetched;
    std::optional<std::string_view> records;
    if (group.early) {
      records = early.Take(gaps[group.first]);
    } else if ((fetched = queue.Take(request++))) {
      records = *fetched;
    }
    if (!records) return {};
    const std::uint64_t offset = data.FineRecordsOffset(gaps[group.first].first);
    for (std::size_t gap = group.first; gap <= group.last; ++gap) {
      const std::uint64_t at = data.FineRecordsOffset(gaps[gap].first) - offset;
      matcher.Refine(gaps[gap],
                     records->substr(at, data.FineRecordsLength(gaps[gap].first, gaps[gap].end)));
    }
    if (i + 1 < groups.size()) plan_to(gaps[groups[i + 1].first].first, false);
  }
  plan_to(data.BlockCount(), true);
  early.TakeRest();
  return plan;
}

BlockUpdater::Outcome BlockUpdater::TryInstall(const FileJob& job, Verdict* verdict) {
  if (!IndexReady()) return Outcome::kNotThisWay;
  const block_index::Entry& entry = index_.entries[job.index];
  const ExpectedContent& expected = job.expected;
  if (!Describes(entry, expected)) return Outcome::kNotThisWay;
  // The coarse document and the package's start travel side by side; the start is used once the
  // file is planned.
  RangeQueue documents(fetchers_.setup, 2, stop_);
  documents.Start({{UrlBesideList(copy_url_, BesideList::kBlocks), entry.coarse_offset,
                    entry.coarse_offset + entry.coarse_size - 1},
                   {job.package_url, 0, OneEntryStart::kSize - 1}},
                  job.user_agent);
  const std::optional<BlockData> data = CoarseOf(entry, *expected.size, documents.Take(0));
  if (!data) return Outcome::kNotThisWay;
  return WritePart(job, entry, *data, documents, verdict);
}

BlockUpdater::Outcome BlockUpdater::WritePart(const FileJob& job, const block_index::Entry& entry,
                                              const BlockData& data, RangeQueue& documents,
                                              Verdict* verdict) {
  const ExpectedContent& expected = job.expected;
  platform::ResumableFile part;
  std::optional<PartWriter> writer;
  {
    // Closed before the commit: a file that is open cannot be replaced on every system.
    FileStream old_file;
    MemoryStream nothing(std::make_shared<const std::string>());
    const bool has_old = old_file.Open(job.source, platform::Share::kReadWrite);
    StoppableStream old(
        has_old ? static_cast<ByteStream&>(old_file) : static_cast<ByteStream&>(nothing), stop_);
    if (verdict != nullptr) {
      // A file shown to differ needs its digest no more, which leaves the search its core; any
      // other waits for its digest before the search, which a current file never needs.
      if (DiffersNearStart(data, old)) {
        verdict->FoundDifferent();
      } else if (!verdict->Differs()) {
        return Outcome::kCurrent;
      }
    }
    if (!part.Open(job.target)) return Outcome::kNotThisWay;
    held_part_ = true;
    writer.emplace(part, data, expected.sha256.has_value());
    const std::uint64_t resume = writer->Resume(stop_);
    PackageStart package(documents, expected);
    const EarlyFetches::DataRanges data_ranges = [&](std::span<const PlanRange> part) {
      const std::optional<PackageData>& start = package.Get();
      return start ? FetchesOf(PlanFrom(part, resume), *start, job.package_url)
                   : std::vector<RangeQueue::Range>{};
    };
    // One queue, on the run's connections, fetches the fine records and data asked for while the
    // search runs, then the rest of the fine records, then the data of each final part of the
    // plan, asked for while later fine records come.
    RangeQueue fetches(fetchers_.setup, fetchers_.count, stop_);
    fetches.Start({}, job.user_agent, RangeQueue::More::kYes);
    block_data::BlockMatcher matcher(data, old);
    EarlyFetches early(entry, matcher, data, UrlBesideList(copy_url_, BesideList::kFine), fetches,
                       data_ranges);
    if (old.Size() > 0) matcher.Search([&](const auto& run) { early.Ask(run); });
    if (!package.Get()) return Outcome::kNotThisWay;
    std::vector<std::size_t> data_indices;
    const PlanPart ask = [&](std::span<const PlanRange> part) {
      early.AskInOrder(data_ranges(part), data_indices);
    };
    std::vector<PlanRange> plan;
    if (resume < data.file_size && old.Size() > 0) {
      plan = PlanOf(entry, data, matcher, resume, early, fetches, ask);
    } else if (resume < data.file_size) {
      plan = {{.copy = false, .offset = 0, .length = data.file_size}};
      ask(plan);
    }
    plan = PlanFrom(plan, resume);
    if (resume < data.file_size && plan.empty()) return Outcome::kNotThisWay;
    fetches.Add({}, RangeQueue::More::kNo);
    writer->CheckFetched(plan);
    if (!Write(*package.Get(), plan, fetches, data_indices, old, *writer)) {
      return Outcome::kNotThisWay;
    }
  }
  if (!writer->Finish(expected)) {
    // Bytes that checked block by block but not as a whole: nothing of them is worth keeping.
    part.Remove();
    return Outcome::kNotThisWay;
  }
  return part.Commit() ? Outcome::kInstalled : Outcome::kNotThisWay;
}

bool BlockUpdater::Write(const PackageData& package, const std::vector<PlanRange>& plan,
                         RangeQueue& data, const std::vector<std::size_t>& ranges, ByteStream& old,
                         PartWriter& writer) {
  const block_data::PlanTotals totals = block_data::TotalsOf(plan);
  const std::function<void(std::size_t)> count = [&](std::size_t size) {
    fetched_ += size;
    if (progress_) progress_(totals.fetched, fetched_);
  };
  count(0);
  FetchedData sink(package, writer, count);
  std::size_t taken = 0;
  std::vector<std::uint8_t> buffer;
  for (const PlanRange& range : plan) {
    for (std::uint64_t done = 0; done < range.length;) {
      const std::uint64_t offset = range.offset + done;
      if (range.copy) {
        const std::size_t size =
            static_cast<std::size_t>(std::min<std::uint64_t>(range.length - done, kCopyBuffer));
        buffer.resize(size);
        if (old.ReadAt(range.old_offset + done, buffer.data(), size) !=
            static_cast<std::int64_t>(size)) {
          return false;
        }
        writer.Put(buffer.data(), size);
        done += size;
      } else {
        if (taken >= ranges.size()) return false;
        std::optional<std::string> bytes = data.Take(ranges[taken++]);
        if (!bytes) return false;
        sink.Put(offset, *bytes);
        done += bytes->size();
      }
    }
  }
  return true;
}

}  // namespace block_update
