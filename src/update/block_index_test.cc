#include "update/block_index.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "base/base64.h"
#include "base/exception.h"

namespace block_index {
namespace {

using ::testing::HasSubstr;

auto Refused(const char* text) {
  return ::testing::Throws<Exception>(::testing::Property(&Exception::GetText, HasSubstr(text)));
}

FileBlocks Blocks(const std::string& bytes) {
  block_data::BlockDataWriter writer(1024, 256);
  writer.Update(bytes.data(), bytes.size());
  return {writer.Finish(), {}};
}

void Put(std::string& bytes, std::size_t at, std::uint64_t value) {
  for (int i = 0; i < 8; ++i, value >>= 8) bytes[at + i] = static_cast<char>(value & 0xff);
}

// Where each file's documents lie and what they hold is checked on real sites by the release
// tool's test; here, what a hostile server could send instead.
TEST(BlockIndexTest, HostileIndexesAreRefused) {
  const std::string blocks =
      MakeBlockFiles({1, {}}, {Blocks(std::string(3000, 'b')), Blocks("c")}).blocks;
  const std::size_t first = kHeaderSize + kIndexHead;  // the first entry
  const std::size_t second = first + kEntrySize;
  const auto parse = [&](const std::function<void(std::string&)>& change) {
    std::string bytes = blocks;
    change(bytes);
    return [bytes] { ParseIndex(bytes); };
  };
  EXPECT_EQ(IndexEnd(blocks.substr(0, kHeaderSize)), second + kEntrySize);
  EXPECT_THAT(parse([](std::string& b) { b[0] = 'X'; }), Refused("not block data"));
  EXPECT_THAT(parse([](std::string& b) { b[4] = 2; }), Refused("version"));
  EXPECT_THAT(parse([](std::string& b) { Put(b, 8, kIndexHead + 1); }), Refused("index size"));
  EXPECT_THAT(parse([](std::string& b) { Put(b, 8, UINT64_MAX - 8); }), Refused("index size"));
  EXPECT_THAT(parse([&](std::string& b) { b.resize(second); }), Refused("cut short"));
  EXPECT_THAT(parse([](std::string& b) { Put(b, kHeaderSize + 40, 3); }), Refused("entry count"));
  // Documents that overlap, leave a gap, cannot be documents of their kind or run past 2^64.
  EXPECT_THAT(parse([&](std::string& b) { Put(b, second, first); }), Refused("misplaced"));
  EXPECT_THAT(parse([&](std::string& b) { Put(b, second + 48, 1); }), Refused("misplaced"));
  EXPECT_THAT(parse([&](std::string& b) { Put(b, first + 8, 25); }), Refused("document size"));
  EXPECT_THAT(parse([&](std::string& b) { Put(b, first + 56, 7); }), Refused("document size"));
  EXPECT_THAT(parse([&](std::string& b) { Put(b, second + 56, UINT64_MAX - 3); }),
              Refused("document size"));
}

TEST(BlockIndexTest, SignatureVerifiesWithEitherKeyAndRefusesTampering) {
  const platform::P256Key key = platform::GenerateP256Key();
  const platform::P256Key other = platform::GenerateP256Key();
  const Signed what{{10, platform::Sha256Of("list")}, {48, platform::Sha256Of("index")}};
  const std::string document = SignBlocks(what, {other.private_pem, key.private_pem});
  const Signed read = VerifyBlocks(document, EncodeBase64(other.public_key));
  EXPECT_EQ(read.list.size, 10u);
  EXPECT_EQ(read.index.sha256, what.index.sha256);
  const std::tstring public_key = EncodeBase64(key.public_key);
  EXPECT_EQ(VerifyBlocks(document, public_key).list.sha256, what.list.sha256);

  std::string tampered = document;
  tampered[document.find("index ") + 6] = '9';
  EXPECT_THAT([&] { VerifyBlocks(tampered, public_key); }, Refused("does not verify"));
  // A release signature made with the same key is not a block signature.
  EXPECT_THAT([&] { VerifyBlocks(SignRelease(ReleaseSignature{}, {key.private_pem}), public_key); },
              Refused("malformed"));
}

}  // namespace
}  // namespace block_index
