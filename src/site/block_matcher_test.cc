#include "site/block_matcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "site/testing/block_changes.h"
#include "storage/testing/storage_test_util.h"

namespace block_data {
namespace {

using testing::RandomBytes;

// Large enough that the old file is searched in two halves at once.
std::string Base() {
  std::mt19937_64 random(7);
  return RandomBytes(70 * kDefaultCoarseSize + 700, random);
}

// The new file as the plan builds it: copies from the old file, the rest from the new one.
std::string Rebuild(const std::string& old_bytes, const std::string& new_bytes,
                    const std::vector<PlanRange>& plan) {
  std::string bytes;
  for (const PlanRange& range : plan) {
    EXPECT_EQ(range.offset, bytes.size());
    bytes += range.copy ? old_bytes.substr(range.old_offset, range.length)
                        : new_bytes.substr(range.offset, range.length);
  }
  return bytes;
}

TEST(BlockMatcherTest, CopiesWhatTheOldFileHoldsAndFetchesOnlyTheRest) {
  const std::string base = Base();
  const std::string block = base.substr(0, kDefaultCoarseSize);
  std::string last_byte_changed = base;
  last_byte_changed.back() ^= 1;
  std::string two_bytes_changed = base;  // 12 KB apart, so in the same gap
  two_bytes_changed[100000] ^= 1;
  two_bytes_changed[112000] ^= 1;
  std::string middle_changed = base;  // where the halves of the search meet
  middle_changed[base.size() / 2 - kDefaultCoarseSize / 2] ^= 1;
  const std::uint64_t fine = kDefaultFineSize;
  const std::uint64_t moved = 10 * kDefaultCoarseSize;
  const std::string x_blocks(3 * kDefaultCoarseSize, 'x');
  // Windows of the old file a few bytes apart, in the other order: each block is found only by
  // rolling to it, from any offset of a batch of windows.
  std::string scattered;
  for (std::size_t i = 0, offset = 0; i < 40;
       ++i, offset += kDefaultCoarseSize + 1 + i * 37 % 150) {
    scattered.insert(0, base.substr(offset, kDefaultCoarseSize));
  }
  const struct {
    std::string new_bytes;
    std::uint64_t fetched;  // at most
    std::string old_bytes = Base();
  } cases[] = {
      {.new_bytes = base, .fetched = 0},
      {.new_bytes = "abc" + base, .fetched = fine},
      {.new_bytes = base.substr(0, 100000) + base.substr(101000), .fetched = fine},
      {.new_bytes = base.substr(0, 100000) + block.substr(3, 3000) + base.substr(100000),
       .fetched = 3000 + 2 * fine},
      {.new_bytes = base.substr(moved) + base.substr(0, moved), .fetched = fine},
      {.new_bytes = two_bytes_changed, .fetched = 2 * fine},
      {.new_bytes = middle_changed, .fetched = fine},
      {.new_bytes = block + block + block + base, .fetched = 0},
      {.new_bytes = scattered, .fetched = 0},
      // Identical blocks, one of them found: all copied from there.
      {.new_bytes = x_blocks + base + x_blocks,
       .fetched = 0,
       .old_bytes = base + x_blocks.substr(0, 2 * kDefaultCoarseSize)},
      {.new_bytes = base.substr(0, 1000), .fetched = 0},
      {.new_bytes = "", .fetched = 0},
      {.new_bytes = last_byte_changed, .fetched = 700},
      {.new_bytes = base, .fetched = base.size() - moved, .old_bytes = base.substr(0, moved)},
      {.new_bytes = base, .fetched = base.size(), .old_bytes = base.substr(0, 1000)},
      {.new_bytes = base, .fetched = base.size(), .old_bytes = ""},
  };
  for (const auto& test : cases) {
    const testing::Transfer transfer = testing::Match(
        std::make_shared<const std::string>(test.old_bytes), testing::DocumentsOf(test.new_bytes));
    EXPECT_EQ(Rebuild(test.old_bytes, test.new_bytes, transfer.plan), test.new_bytes)
        << &test - cases;
    EXPECT_LE(transfer.fetched, test.fetched) << &test - cases;
  }
}

// The runs told while the search goes hold the gaps that changes in place or small shifts leave
// (all but one before the first block each half of the search finds), and a block the same as one
// far after it, told as a guess, is found all the same. What a told run plans is checked where the
// plan takes it (EarlyFetchesTest).
TEST(BlockMatcherTest, TellsOfThePassedOverRunsThatHoldTheGaps) {
  const std::string old_bytes = Base();
  for (const auto kind : {testing::Change::kRewrite, testing::Change::kInsertOrDelete}) {
    std::string new_bytes = testing::Changed(old_bytes, kind, 4, 5).bytes;
    const auto block = [&](std::size_t i) {
      return new_bytes.substr(i * kDefaultCoarseSize, kDefaultCoarseSize);
    };
    std::size_t far = 60;
    while (old_bytes.find(block(far)) == std::string::npos) --far;  // one the changes left
    new_bytes.replace(10 * kDefaultCoarseSize, kDefaultCoarseSize, block(far));
    const BlockData data = ParseBlockData(testing::DocumentsOf(new_bytes).coarse);
    MemoryStream old(std::make_shared<const std::string>(old_bytes));
    BlockMatcher matcher(data, old);
    std::mutex lock;
    std::vector<BlockMatcher::PassedRun> told;
    matcher.Search([&](const BlockMatcher::PassedRun& run) {
      std::lock_guard<std::mutex> hold(lock);
      told.push_back(run);
    });
    const std::vector<BlockRun> gaps = matcher.Gaps();
    const auto held = [&](const BlockRun& gap) {
      return std::any_of(told.begin(), told.end(), [&](const BlockMatcher::PassedRun& run) {
        return run.blocks.first <= gap.first && gap.end <= run.blocks.end;
      });
    };
    EXPECT_GE(std::count_if(gaps.begin(), gaps.end(), held) + 2, gaps.size());
    EXPECT_TRUE(held({10, 11}));
    EXPECT_TRUE(std::none_of(gaps.begin(), gaps.end(),
                             [](const BlockRun& gap) { return gap.first <= 10 && 10 < gap.end; }));
  }
}

TEST(BlockMatcherTest, RefusesFineRecordsThatDoNotAgreeWithTheirBlock) {
  const auto old_bytes =
      std::make_shared<const std::string>(Base().substr(0, 4 * kDefaultCoarseSize));
  std::string new_bytes = *old_bytes;
  new_bytes[3 * kDefaultCoarseSize + 5] ^= 1;
  BlockDocuments tampered = testing::DocumentsOf(new_bytes);
  tampered.fine.back() ^= 1;
  EXPECT_EQ(ErrorOf([&] { testing::Match(old_bytes, tampered); }),
            "DownloadManager : Block data error(fine records do not agree with their block).");
  tampered.fine.pop_back();
  EXPECT_EQ(ErrorOf([&] { testing::Match(old_bytes, tampered); }),
            "DownloadManager : Block data error(fine records of the wrong length).");
}

// Block data that claims the weak checksums of the old file's repetitive stretches, as a mirror
// without the key may serve it, costs a bounded search: a run of one byte value is hashed once,
// and a pattern whose every offset matches a claimed weak checksum ends the search, which fetches
// the whole file without asking for a fine record.
TEST(BlockMatcherTest, ClaimsOnRepetitiveOldBytesCostTheSearchLittle) {
  std::mt19937_64 random(3);
  const std::string kept = RandomBytes(16 * kDefaultCoarseSize, random);
  const std::string pattern = RandomBytes(127, random);
  std::string repeated;
  while (repeated.size() < (4 << 20)) repeated += pattern;
  const struct {
    std::string old_bytes;
    std::uint64_t claimed_offset;  // of the window whose weak checksum the changed blocks claim
    std::uint64_t claimed_windows;
    bool gives_up;
  } cases[] = {
      {std::string(3 << 20, 'x') + kept, 0, 1, false},
      {std::string(1 << 20, 'x') + kept + std::string(2 << 20, '\0'), 2 << 20, 1, false},
      {repeated + kept, 0, pattern.size(), true},
  };
  for (const auto& test : cases) {
    // The new file: the kept bytes after as many changed ones as the old file has before them.
    const std::uint64_t changed = test.old_bytes.find(kept);
    const std::string new_bytes = RandomBytes(changed, random) + kept;
    BlockDocuments documents = testing::DocumentsOf(new_bytes);
    for (std::uint64_t block = 0; block < changed / kDefaultCoarseSize; ++block) {
      const std::uint32_t weak = testing::WeakAt(
          test.old_bytes, test.claimed_offset + block % test.claimed_windows, kDefaultCoarseSize);
      for (std::size_t i = 0; i < kWeakSize; ++i) {
        documents.coarse[kHeaderSize + block * kCoarseRecordSize + i] =
            static_cast<char>(weak >> (8 * i));
      }
    }
    const testing::Transfer transfer =
        testing::Match(std::make_shared<const std::string>(test.old_bytes), documents);
    EXPECT_EQ(Rebuild(test.old_bytes, new_bytes, transfer.plan), new_bytes) << &test - cases;
    EXPECT_EQ(transfer.fetched, test.gives_up ? new_bytes.size() : changed) << &test - cases;
    EXPECT_EQ(transfer.fine_records == 0, test.gives_up) << &test - cases;
  }
}

// Per GiB, change A rewrites about 820 scattered 64 KiB pieces (5 % of the file) and change B makes
// 800 insertions and deletions of 1 to 8 KiB. What moves beyond the new bytes must stay within
// 0.3 % of the file for A, and all that moves within 0.51 % of the file for B.
TEST(BlockMatcherTest, ScatteredChangesMoveLittleMoreThanTheNewBytes) {
  constexpr std::size_t kSize = 16 << 20;
  std::mt19937_64 random(9);
  const auto old_bytes = std::make_shared<const std::string>(RandomBytes(kSize, random));
  for (const auto kind : {testing::Change::kRewrite, testing::Change::kInsertOrDelete}) {
    const bool a = kind == testing::Change::kRewrite;
    const testing::ChangedFile changed = testing::Changed(*old_bytes, kind, 13, a ? 10 : 11);
    const testing::Transfer transfer =
        testing::Match(old_bytes, testing::DocumentsOf(changed.bytes));
    EXPECT_EQ(Rebuild(*old_bytes, changed.bytes, transfer.plan), changed.bytes);
    EXPECT_LE(transfer.Moved(), a ? changed.new_bytes + kSize * 3 / 1000 : kSize * 51 / 10000);
  }
}

}  // namespace
}  // namespace block_data
