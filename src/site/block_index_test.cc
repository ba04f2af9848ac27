#include "site/block_index.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "storage/testing/storage_test_util.h"

namespace block_index {
namespace {

using ::testing::HasSubstr;

FileBlocks Blocks(const std::string& bytes) {
  block_data::BlockDataWriter writer(1024, 256);
  writer.Update(bytes.data(), bytes.size());
  return {writer.Finish(), {}};
}

// Where each file's documents lie and what they hold is checked on real sites by the release
// tool's test; here, what a hostile server could send instead.
TEST(BlockIndexTest, HostileIndexesAreRefused) {
  const std::string blocks =
      MakeBlockFiles({1, {}}, {Blocks(std::string(3000, 'b')), Blocks("c")}).blocks;
  const std::size_t first = kHeaderSize + kIndexHead;  // the first entry
  const std::size_t second = first + kEntrySize;
  EXPECT_THAT(ErrorOf([&] { ParseIndex(blocks.substr(0, second)); }), HasSubstr("cut short"));
  // An 8-byte value written at an offset; the last five make documents that overlap, leave a gap,
  // cannot be documents of their kind or run past 2^64.
  const std::tuple<std::size_t, std::uint64_t, const char*> cases[] = {
      {0, 'X', "not block data"},           {4, 2, "version"},
      {8, kIndexHead + 1, "index size"},    {8, UINT64_MAX - 8, "index size"},
      {kHeaderSize + 40, 3, "entry count"}, {second, first, "misplaced"},
      {second + 48, 1, "misplaced"},        {first + 8, 25, "document size"},
      {first + 56, 7, "document size"},     {second + 56, UINT64_MAX - 3, "document size"},
  };
  for (auto [at, value, error] : cases) {
    std::string bytes = blocks;
    for (int i = 0; i < 8; ++i, value >>= 8) bytes[at + i] = static_cast<char>(value & 0xff);
    EXPECT_THAT(ErrorOf([&] { ParseIndex(bytes); }), HasSubstr(error)) << at;
  }
}

// Reading back and tampering are the signed block update's test. A release signature made with the
// same key is not a block signature.
TEST(BlockIndexTest, AReleaseSignatureIsNoBlockSignature) {
  const platform::P256Key key = platform::GenerateP256Key();
  const KeySet keys{1, {key.public_key}};
  EXPECT_THAT(
      ErrorOf([&] { VerifyBlocks(SignRelease(ReleaseSignature{}, {key.private_pem}), keys); }),
      HasSubstr("malformed"));
}

}  // namespace
}  // namespace block_index
