#include "site/block_matcher.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>

#include "base/exception.h"

namespace block_data {

namespace {

// The filter has about this many bits per indexed block, two of them set for each, so that one
// window in several hundred that holds none of the blocks goes on to the index; at most 1 MiB, so
// that it stays in the processor's cache beside the bytes being searched.
constexpr std::uint64_t kFilterBitsPerBlock = 64;
constexpr unsigned kMinFilterWords = 1 << 10;
constexpr unsigned kMaxFilterWords = 1 << 17;
constexpr std::uint64_t kFactor2 = RollingSum::kFactor * RollingSum::kFactor;

// Windows rolled over at a time, their filter words fetched together.
constexpr std::uint64_t kRollBatch = 64;

inline void Prefetch(const void* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#endif
}

// Keeps the compiler from folding the terms of value into a longer chain of additions after a
// multiplication that waits for the previous sum.
inline void KeepApart(std::uint64_t& value) {
#if defined(__GNUC__)
  asm("" : "+r"(value));
#endif
}
// Strong hashes that find nothing may cost the search about half a pass over the old file, and at
// least this much. A weak checksum matches by chance at about one rolled offset in 2^32 / (new
// size / block size), which hashes about rolled bytes * new size / 2^32 in vain: a file of 2 GiB
// rolled through entirely stays within the bound, and beyond it the old file has little to copy.
constexpr std::uint64_t kMinVainBytes = 8 << 20;
constexpr std::uint64_t kMinVainWindows = 4;

}  // namespace

BlockMatcher::BlockMatcher(const BlockData& data, ByteStream& old)
    : data_(data), old_(old), old_size_(old.Size()), found_(data.BlockCount(), kNotFound) {
  BuildIndex();
}

// Only whole blocks are searched by the rolling sum; a short last block is looked for where it is
// likely to be (MatchTail). Identical blocks are one candidate, the first of them: ShareFound gives
// the others its offset.
void BlockMatcher::BuildIndex() {
  for (std::uint64_t block = 0; block < data_.BlockCount(); ++block) {
    if (data_.BlockLength(block) == data_.coarse_size)
      index_.push_back({data_.weak[block], data_.strong[block], block});
  }
  const auto key = [](const Candidate& c) { return std::tie(c.weak, c.strong, c.block); };
  std::sort(index_.begin(), index_.end(),
            [&](const Candidate& a, const Candidate& b) { return key(a) < key(b); });
  index_.erase(std::unique(index_.begin(), index_.end(),
                           [](const Candidate& a, const Candidate& b) {
                             return a.weak == b.weak && a.strong == b.strong;
                           }),
               index_.end());
  const std::uint64_t words = std::clamp<std::uint64_t>(
      std::bit_ceil(index_.size() * kFilterBitsPerBlock / 64), kMinFilterWords, kMaxFilterWords);
  bucket_shift_ = 32 - std::min(24u, static_cast<unsigned>(std::bit_width(index_.size())));
  buckets_.assign((std::uint64_t{1} << (32 - bucket_shift_)) + 1, 0);
  for (const Candidate& candidate : index_) ++buckets_[(candidate.weak >> bucket_shift_) + 1];
  for (std::size_t bucket = 1; bucket < buckets_.size(); ++bucket) {
    buckets_[bucket] += buckets_[bucket - 1];
  }
  filter_mask_ = static_cast<std::uint32_t>(words - 1);
  filter_.assign(words, 0);
  for (const Candidate& candidate : index_) {
    filter_[candidate.weak & filter_mask_] |= FilterBits(candidate.weak);
  }
}

// The old file is searched in two halves at once, one on another thread, when it holds this many
// coarse blocks: the search reads and hashes every byte once, and costs about as much as the
// transfer of a few changes.
constexpr std::uint64_t kSplitSearchBlocks = 64;

void BlockMatcher::Search(const PassedOver& passed_over) {
  const std::uint64_t window = data_.coarse_size;
  if (!index_.empty() && old_size_ >= window) {
    // Positions a block may start at; each half finds the blocks that start in it.
    const std::uint64_t positions = old_size_ - window + 1;
    const std::uint64_t middle = old_size_ >= kSplitSearchBlocks * window ? positions / 2 : 0;
    Scan scans[2];
    for (Scan& scan : scans) {
      scan.found.assign(found_.size(), kNotFound);
      if (passed_over) scan.passed_over = &passed_over;
    }
    std::exception_ptr failure;
    std::thread other;
    try {
      if (middle > 0) {
        other = std::thread([&] {
          try {
            SearchPart(scans[1], middle, positions);
          } catch (...) {
            failure = std::current_exception();
          }
        });
      }
    } catch (const std::system_error&) {
      // No thread: this one searches the whole, and the other half finds nothing.
    }
    try {
      SearchPart(scans[0], 0, other.joinable() ? middle : positions);
    } catch (...) {
      if (other.joinable()) other.join();
      throw;
    }
    if (other.joinable()) other.join();
    if (failure) std::rethrow_exception(failure);
    if (gave_up_) return;
    // A block found in both halves is taken where it lies first, as one pass would.
    for (std::uint64_t block = 0; block < found_.size(); ++block) {
      found_[block] = std::min(scans[0].found[block], scans[1].found[block]);
    }
  }
  ShareFound();
  MatchTail();
}

// Where a block was found, the block after it is looked for right after it, by its strong hash
// alone, before any rolling: regions that did not change cost one strong hash per block and no
// weak checksum.
void BlockMatcher::SearchPart(Scan& scan, std::uint64_t begin, std::uint64_t end) {
  const std::uint64_t window = data_.coarse_size;
  const RollingSum rolling(data_.coarse_size);
  Stream stream{std::vector<std::uint8_t>(std::max<std::size_t>(kBufferSize, 2 * window)), begin,
                0};
  scan.budget =
      (end - begin) / 2 + std::max<std::uint64_t>(kMinVainBytes, kMinVainWindows * window);
  std::uint64_t sum = 0;
  std::uint64_t next = kNotFound;  // the block after the one found last
  bool fresh = true;
  for (std::uint64_t position = begin; position < end;) {
    const std::uint8_t* bytes = BytesAt(stream, position, window + 1);
    if (fresh && IsNext(scan, next, position, bytes)) {
      position += window;
      ++next;
      continue;
    }
    if (fresh) sum = RollingSum::Of(bytes, window);
    fresh = false;
    const std::uint32_t weak = RollingSum::Weak(sum);
    const bool tried = !scan.uniform_miss && MayHold(weak);
    if (tried && (next = TryBlock(scan, position, weak, bytes)) != kNotFound) {
      NoteFound(scan, next, position);
      position += window;
      ++next;
      fresh = true;
      continue;
    }
    if (tried && gave_up_) return;
    if (position + window >= old_size_) break;
    if (scan.uniform_miss) {
      // The window holds one byte value, hashed in vain: while that value goes on, the window
      // moves onto the same bytes and keeps its sum, so the search moves to where the run ends.
      const std::uint64_t same = SameBytesFrom(stream, position + window, bytes[0]);
      if (same > 0) {
        position += same;
        continue;
      }
      scan.uniform_miss = false;
    }
    const std::uint64_t rolls = std::min(
        end - position, std::min(old_size_, stream.base + stream.filled) - (position + window));
    position += RollOn(rolling, sum, bytes, rolls);
  }
}

// Rolls sum, the window's at bytes, on over at most rolls bytes to the next window that the filter
// lets through, and returns how far it went. A batch of windows at a time: their sums first, each
// filter word asked of the cache as soon as its sum is known, then the filter's answers, so that
// the words of a large filter arrive side by side instead of each holding up the next. Two sums a
// step: the sum two bytes on takes one multiplication of the sum now, so the chain of
// multiplications that wait for each other is half as long as rolling byte by byte.
std::uint64_t BlockMatcher::RollOn(const RollingSum& rolling, std::uint64_t& sum,
                                   const std::uint8_t* bytes, std::uint64_t rolls) const {
  const std::uint8_t* const in = bytes + data_.coarse_size;
  const std::uint64_t* const filter = filter_.data();
  const std::uint32_t mask = filter_mask_;
  std::uint64_t sums[kRollBatch];
  std::uint64_t rolled = 0;
  for (; rolls - rolled >= kRollBatch; rolled += kRollBatch) {
    std::uint64_t now = sum;
    for (std::uint64_t i = 0; i < kRollBatch; i += 2) {
      const std::uint64_t at = rolled + i;
      const std::uint64_t step = rolling.Step(bytes[at], in[at]);
      std::uint64_t steps = step * RollingSum::kFactor + rolling.Step(bytes[at + 1], in[at + 1]);
      KeepApart(steps);
      sums[i] = now * RollingSum::kFactor + step;
      now = now * kFactor2 + steps;
      sums[i + 1] = now;
      Prefetch(&filter[RollingSum::Weak(sums[i]) & mask]);
      Prefetch(&filter[RollingSum::Weak(now) & mask]);
    }
    for (std::uint64_t i = 0; i < kRollBatch; ++i) {
      if (MayHold(filter, mask, RollingSum::Weak(sums[i]))) {
        sum = sums[i];
        return rolled + i + 1;
      }
    }
    sum = now;
  }
  while (rolled < rolls) {
    sum = rolling.Roll(sum, bytes[rolled], in[rolled]);
    ++rolled;
    if (MayHold(filter, mask, RollingSum::Weak(sum))) break;
  }
  return rolled;
}

bool BlockMatcher::IsNext(Scan& scan, std::uint64_t block, std::uint64_t position,
                          const std::uint8_t* bytes) {
  if (block >= data_.BlockCount() || data_.BlockLength(block) != data_.coarse_size ||
      scan.hasher.Strong(bytes, data_.coarse_size, data_.fine_size) != data_.strong[block]) {
    return false;
  }
  if (scan.found[block] == kNotFound) scan.found[block] = position;
  NoteFound(scan, block, position);
  return true;
}

void BlockMatcher::NoteFound(Scan& scan, std::uint64_t block, std::uint64_t position) {
  const std::uint64_t last = scan.last_block;
  scan.last_block = block;
  const std::uint64_t last_position = std::exchange(scan.last_position, position);
  if (scan.passed_over == nullptr || last == kNotFound || block <= last + 1 ||
      block - last - 1 > kMostPassedBlocks) {
    return;
  }
  const std::uint64_t apart = data_.BlockOffset(block) - data_.BlockOffset(last);
  const std::uint64_t moved = position - last_position;
  if ((moved > apart ? moved - apart : apart - moved) <= kMostPassedBlocks * data_.coarse_size) {
    const auto shift = [&](std::uint64_t at, std::uint64_t of) {
      return static_cast<std::int64_t>(at - data_.BlockOffset(of));
    };
    (*scan.passed_over)({{last + 1, block}, {shift(last_position, last), shift(position, block)}});
  }
}

// Identical blocks of the new file share their records, so one confirmed offset serves them all:
// the candidate stood for all of them, and a block found as the next one was not looked up.
void BlockMatcher::ShareFound() {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> offsets;  // (strong, old offset), sorted
  for (std::uint64_t block = 0; block < found_.size(); ++block) {
    if (found_[block] != kNotFound) offsets.emplace_back(data_.strong[block], found_[block]);
  }
  std::sort(offsets.begin(), offsets.end());
  for (std::uint64_t block = 0; block < found_.size(); ++block) {
    if (found_[block] != kNotFound || data_.BlockLength(block) != data_.coarse_size) continue;
    const auto same = std::lower_bound(offsets.begin(), offsets.end(),
                                       std::make_pair(data_.strong[block], std::uint64_t{0}));
    if (same != offsets.end() && same->first == data_.strong[block]) found_[block] = same->second;
  }
}

// How many of the buffered bytes from old offset `from` on hold value, eight at a time.
std::uint64_t BlockMatcher::SameBytesFrom(const Stream& stream, std::uint64_t from,
                                          std::uint8_t value) {
  const std::uint8_t* const begin = stream.buffer.data() + (from - stream.base);
  const std::uint8_t* const end = stream.buffer.data() + stream.filled;
  const std::uint64_t repeated = 0x0101010101010101ull * value;
  const std::uint8_t* at = begin;
  for (std::uint64_t word = 0; end - at >= 8; at += 8) {
    std::memcpy(&word, at, 8);
    if (word != repeated) break;
  }
  while (at != end && *at == value) ++at;
  return static_cast<std::uint64_t>(at - begin);
}

// The old bytes from position on, at least size of them unless the file ends first. The search
// only moves forward, so what lies before position is dropped when the buffer is refilled.
const std::uint8_t* BlockMatcher::BytesAt(Stream& stream, std::uint64_t position,
                                          std::uint64_t size) {
  std::uint64_t at = position - stream.base;
  if (at + size > stream.filled && stream.base + stream.filled < old_size_) {
    std::memmove(stream.buffer.data(), stream.buffer.data() + at, stream.filled - at);
    stream.base = position;
    stream.filled -= at;
    at = 0;
    const std::uint64_t more =
        std::min(stream.buffer.size() - stream.filled, old_size_ - stream.base - stream.filled);
    Read(stream.base + stream.filled, stream.buffer.data() + stream.filled, more);
    stream.filled += more;
  }
  return stream.buffer.data() + at;
}

// The block whose bytes the window holds, or kNotFound: one strong hash, and one lookup whatever
// the number of blocks that claim this weak checksum. A hash that finds nothing is charged to the
// scan's budget; past it, the search gives up.
std::uint64_t BlockMatcher::TryBlock(Scan& scan, std::uint64_t offset, std::uint32_t weak,
                                     const std::uint8_t* bytes) {
  const auto by_checksums = [](const Candidate& c, std::pair<std::uint32_t, std::uint64_t> key) {
    return std::make_pair(c.weak, c.strong) < key;
  };
  // The candidates that share the weak's upper bits, about one, come from the directory: a search
  // of the whole index would take a dozen reads from memory for every window the filter lets by.
  const std::uint32_t bucket = weak >> bucket_shift_;
  const auto first =
      std::lower_bound(index_.begin() + buckets_[bucket], index_.begin() + buckets_[bucket + 1],
                       std::make_pair(weak, std::uint64_t{0}), by_checksums);
  if (first == index_.end() || first->weak != weak) return kNotFound;
  const std::uint64_t window = data_.coarse_size;
  const std::uint64_t strong = scan.hasher.Strong(bytes, window, data_.fine_size);
  const auto hit =
      std::lower_bound(first, index_.end(), std::make_pair(weak, strong), by_checksums);
  if (hit != index_.end() && hit->weak == weak && hit->strong == strong) {
    if (scan.found[hit->block] == kNotFound) scan.found[hit->block] = offset;
    return hit->block;
  }
  if (gave_up_ || scan.budget < window) {
    gave_up_ = true;
    return kNotFound;
  }
  scan.budget -= window;
  scan.uniform_miss = std::memcmp(bytes, bytes + 1, window - 1) == 0;
  return kNotFound;
}

// A short last block is where the block before it ended, where it was in the new file, or at the
// end of the old file.
void BlockMatcher::MatchTail() {
  const std::uint64_t count = data_.BlockCount();
  if (count == 0 || data_.BlockLength(count - 1) == data_.coarse_size) return;
  const std::uint64_t last = count - 1;
  const std::uint64_t length = data_.BlockLength(last);
  if (last > 0 && found_[last - 1] != kNotFound &&
      ConfirmBlock(last, found_[last - 1] + data_.coarse_size)) {
    return;
  }
  if (ConfirmBlock(last, data_.BlockOffset(last))) return;
  if (old_size_ >= length) ConfirmBlock(last, old_size_ - length);
}

bool BlockMatcher::ConfirmBlock(std::uint64_t block, std::uint64_t old_offset) {
  const std::uint64_t length = data_.BlockLength(block);
  if (old_offset > old_size_ || old_size_ - old_offset < length) return false;
  std::vector<std::uint8_t> bytes(length);
  Read(old_offset, bytes.data(), bytes.size());
  if (StrongAt(bytes.data(), length) != data_.strong[block]) return false;
  found_[block] = old_offset;
  return true;
}

std::uint64_t BlockMatcher::StrongAt(const std::uint8_t* bytes, std::uint64_t length) {
  return hasher_.Strong(bytes, length, data_.fine_size);
}

}  // namespace block_data
