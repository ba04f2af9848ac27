#include "update/block_index.h"

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
  EXPECT_EQ(IndexEnd(blocks.substr(0, kHeaderSize)), second + kEntrySize);
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

TEST(BlockIndexTest, SignatureVerifiesWithEitherKeyAndRefusesTampering) {
  const platform::P256Key key = platform::GenerateP256Key();
  const platform::P256Key other = platform::GenerateP256Key();
  const Signed what{{10, platform::Sha256Of("list")}, {48, platform::Sha256Of("index")}};
  const std::string document = SignBlocks(what, {other.private_pem, key.private_pem});
  const Signed read = VerifyBlocks(document, {1, {other.public_key}});
  EXPECT_TRUE(read.list.size == 10 && read.index.sha256 == what.index.sha256);
  const KeySet public_key{1, {key.public_key}};
  EXPECT_EQ(VerifyBlocks(document, public_key).list.sha256, what.list.sha256);

  std::string tampered = document;
  tampered[document.find("index ") + 6] = '9';
  EXPECT_THAT(ErrorOf([&] { VerifyBlocks(tampered, public_key); }), HasSubstr("does not verify"));
  // A release signature made with the same key is not a block signature.
  EXPECT_THAT(ErrorOf([&] {
                VerifyBlocks(SignRelease(ReleaseSignature{}, {key.private_pem}), public_key);
              }),
              HasSubstr("malformed"));
}

}  // namespace
}  // namespace block_index
