#include "update/block_matcher.h"

#include <gtest/gtest.h>

#include "base/exception.h"
#include "update/testing/block_changes.h"

namespace block_data {
namespace {

using testing::RandomBytes;

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

testing::Transfer Update(const std::string& old_bytes, const std::string& new_bytes) {
  return testing::Match(std::make_shared<const std::string>(old_bytes),
                        testing::DocumentsOf(new_bytes));
}

TEST(BlockMatcherTest, CopiesWhatTheOldFileHoldsAndFetchesOnlyTheRest) {
  std::mt19937_64 random(7);
  const std::string base = RandomBytes(20 * kDefaultCoarseSize + 700, random);
  const std::string block = base.substr(0, kDefaultCoarseSize);
  std::string last_byte_changed = base;
  last_byte_changed.back() ^= 1;
  const std::string deleted = base.substr(0, 100000) + base.substr(101000);
  const std::string inserted =
      base.substr(0, 100000) + RandomBytes(3000, random) + base.substr(100000);
  struct Case {
    const char* name;
    std::string old_bytes;
    std::string new_bytes;
    std::uint64_t fetched;  // at most
  };
  const Case cases[] = {
      {.name = "same", .old_bytes = base, .new_bytes = base, .fetched = 0},
      {.name = "shifted by 3",
       .old_bytes = base,
       .new_bytes = "abc" + base,
       .fetched = kDefaultFineSize},
      {.name = "deleted", .old_bytes = base, .new_bytes = deleted, .fetched = kDefaultFineSize},
      {.name = "inserted",
       .old_bytes = base,
       .new_bytes = inserted,
       .fetched = 3000 + 2 * kDefaultFineSize},
      {.name = "moved blocks",
       .old_bytes = base,
       .new_bytes = base.substr(kDefaultCoarseSize * 10) + base.substr(0, kDefaultCoarseSize * 10),
       .fetched = kDefaultCoarseSize},
      {.name = "repeated blocks",
       .old_bytes = base,
       .new_bytes = block + block + block + base,
       .fetched = 0},
      {.name = "shorter than a block",
       .old_bytes = base,
       .new_bytes = base.substr(0, 1000),
       .fetched = 0},
      {.name = "empty", .old_bytes = base, .new_bytes = "", .fetched = 0},
      {.name = "nothing old", .old_bytes = "", .new_bytes = base, .fetched = base.size()},
      {.name = "last partial block changed",
       .old_bytes = base,
       .new_bytes = last_byte_changed,
       .fetched = 700 % kDefaultFineSize},
      {.name = "appended",
       .old_bytes = base.substr(0, 10 * kDefaultCoarseSize),
       .new_bytes = base,
       .fetched = base.size() - 10 * kDefaultCoarseSize},
      {.name = "old file shorter than a block",
       .old_bytes = base.substr(0, 1000),
       .new_bytes = base,
       .fetched = base.size()},
  };
  for (const Case& test : cases) {
    const testing::Transfer transfer = Update(test.old_bytes, test.new_bytes);
    EXPECT_EQ(Rebuild(test.old_bytes, test.new_bytes, transfer.plan), test.new_bytes) << test.name;
    EXPECT_LE(transfer.fetched, test.fetched) << test.name;
  }
}

TEST(BlockMatcherTest, RefusesFineRecordsThatDoNotAgreeWithTheirBlock) {
  std::mt19937_64 random(8);
  const std::string old_bytes = RandomBytes(4 * kDefaultCoarseSize, random);
  std::string new_bytes = old_bytes;
  new_bytes[kDefaultCoarseSize + 5] ^= 1;
  const BlockDocuments documents = testing::DocumentsOf(new_bytes);
  const BlockData data = ParseBlockData(documents.coarse);
  MemoryStream old(std::make_shared<const std::string>(old_bytes));
  BlockMatcher matcher(data, old);
  matcher.Search();
  const std::vector<BlockRun> gaps = matcher.Gaps();
  ASSERT_EQ(gaps.size(), 1u);
  std::string records =
      documents.fine.substr(data.FineRecordsOffset(1), data.FineRecordsLength(1, 2));
  const auto error_of = [&](const std::string& given) -> std::string {
    try {
      matcher.Refine(gaps[0], given);
    } catch (const Exception& failure) {
      return failure.GetText();
    }
    return "";
  };
  EXPECT_EQ(error_of(records.substr(1)),
            "DownloadManager : Block data error(fine records of the wrong length).");
  records[0] ^= 1;
  EXPECT_EQ(error_of(records),
            "DownloadManager : Block data error(fine records do not agree with their block).");
}

// Per GiB, change A rewrites about 820 scattered 64 KiB pieces (5 % of the file) and change B makes
// 800 insertions and deletions of 1 to 8 KiB. What moves must stay within 0.3 % of the file over
// the rewritten bytes for A and within 0.51 % of the file for B.
TEST(BlockMatcherTest, ScatteredChangesMoveLittleMoreThanTheChangedBytes) {
  constexpr std::size_t kSize = 16 << 20;
  std::mt19937_64 random(9);
  const auto old_bytes = std::make_shared<const std::string>(RandomBytes(kSize, random));
  const std::string rewritten = testing::Rewrite(*old_bytes, 13, 64 * 1024, 10);
  const testing::Transfer a = testing::Match(old_bytes, testing::DocumentsOf(rewritten));
  std::uint64_t changed = 0;
  for (std::size_t i = 0; i < kSize; ++i) changed += (*old_bytes)[i] != rewritten[i];
  EXPECT_EQ(Rebuild(*old_bytes, rewritten, a.plan), rewritten);
  EXPECT_LE(a.Moved(), changed + kSize * 3 / 1000);

  const std::string shifted = testing::Shift(*old_bytes, 13, 11);
  const testing::Transfer b = testing::Match(old_bytes, testing::DocumentsOf(shifted));
  EXPECT_EQ(Rebuild(*old_bytes, shifted, b.plan), shifted);
  EXPECT_LE(b.Moved(), kSize * 51 / 10000);
  std::printf("A: %llu changed, %llu moved; B: %llu moved (of %zu)\n",
              static_cast<unsigned long long>(changed), static_cast<unsigned long long>(a.Moved()),
              static_cast<unsigned long long>(b.Moved()), kSize);
}

}  // namespace
}  // namespace block_data
