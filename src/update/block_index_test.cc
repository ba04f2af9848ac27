#include "update/block_index.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "base/base64.h"
#include "base/exception.h"

namespace block_index {
namespace {

using ::testing::HasSubstr;

std::string Refusal(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& failure) {
    return failure.GetText();
  }
  return "accepted";
}

FileBlocks Blocks(const std::string& bytes, std::uint8_t md5_first) {
  block_data::BlockDataWriter writer(1024, 256);
  writer.Update(bytes.data(), bytes.size());
  FileBlocks file{writer.Finish(), {}};
  file.md5[0] = md5_first;
  return file;
}

void Put(std::string& bytes, std::size_t at, std::uint64_t value) {
  for (int i = 0; i < 8; ++i, value >>= 8) bytes[at + i] = static_cast<char>(value & 0xff);
}

TEST(BlockIndexTest, FilesRoundTripAndLocateEveryDocument) {
  const std::vector<FileBlocks> files = {Blocks(std::string(5000, 'a'), 1), Blocks("", 2),
                                         Blocks("xyz", 3)};
  const ListDigest list{123, platform::Sha256Of("list")};
  const BlockFiles written = MakeBlockFiles(list, files);

  // Read with a prefix longer than the index, as a range request rounded up returns it.
  const std::uint64_t end = IndexEnd(std::string_view(written.blocks).substr(0, kHeaderSize));
  EXPECT_EQ(end, kHeaderSize + kIndexHead + 3 * kEntrySize);
  const Index index = ParseIndex(written.blocks);
  EXPECT_EQ(index.list.size, 123u);
  EXPECT_EQ(index.list.sha256, list.sha256);
  ASSERT_EQ(index.entries.size(), 3u);
  for (std::size_t i = 0; i < files.size(); ++i) {
    const Entry& entry = index.entries[i];
    const std::string coarse = written.blocks.substr(entry.coarse_offset, entry.coarse_size);
    EXPECT_EQ(coarse, files[i].documents.coarse) << i;
    EXPECT_EQ(entry.coarse_sha256, platform::Sha256Of(coarse)) << i;
    EXPECT_EQ(written.fine.substr(entry.fine_offset, entry.fine_size), files[i].documents.fine);
    EXPECT_EQ(entry.md5, files[i].md5);
    block_data::ParseBlockData(coarse);
  }
  EXPECT_EQ(index.entries.back().coarse_offset + index.entries.back().coarse_size,
            written.blocks.size());
  EXPECT_EQ(IndexBytes(written.blocks).size(), end - kHeaderSize);
  EXPECT_EQ(ParseIndex(MakeBlockFiles(list, {}).blocks).entries.size(), 0u);
}

TEST(BlockIndexTest, HostileIndexesAreRefused) {
  const BlockFiles written =
      MakeBlockFiles({1, {}}, {Blocks(std::string(3000, 'b'), 0), Blocks("c", 0)});
  const std::size_t first = kHeaderSize + kIndexHead;  // the first entry
  const std::size_t second = first + kEntrySize;
  const auto altered = [&](const std::function<void(std::string&)>& change) {
    std::string bytes = written.blocks;
    change(bytes);
    return Refusal([&] { ParseIndex(bytes); });
  };
  EXPECT_THAT(altered([](std::string& b) { b[0] = 'X'; }), HasSubstr("not block data"));
  EXPECT_THAT(altered([](std::string& b) { b[4] = 2; }), HasSubstr("version"));
  EXPECT_THAT(altered([](std::string& b) { Put(b, 8, kIndexHead + 1); }), HasSubstr("index size"));
  EXPECT_THAT(altered([](std::string& b) { Put(b, 8, UINT64_MAX - 8); }), HasSubstr("index size"));
  EXPECT_THAT(altered([](std::string& b) { b.resize(second); }), HasSubstr("cut short"));
  EXPECT_THAT(altered([](std::string& b) { Put(b, kHeaderSize + 40, 3); }),
              HasSubstr("entry count"));
  // Documents that overlap, leave a gap, or cannot be documents of their kind.
  EXPECT_THAT(altered([&](std::string& b) { Put(b, second, first); }), HasSubstr("misplaced"));
  EXPECT_THAT(altered([&](std::string& b) { Put(b, second + 48, 1); }), HasSubstr("misplaced"));
  EXPECT_THAT(altered([&](std::string& b) { Put(b, first + 8, 25); }), HasSubstr("document size"));
  EXPECT_THAT(altered([&](std::string& b) { Put(b, first + 56, 7); }), HasSubstr("document size"));
  EXPECT_THAT(altered([&](std::string& b) { Put(b, second + 56, UINT64_MAX - 3); }),
              HasSubstr("document size"));
  EXPECT_THAT(Refusal([] { IndexEnd("VBIX"); }), HasSubstr("not block data"));
}

TEST(BlockIndexTest, SignatureVerifiesWithEitherKeyAndRefusesTampering) {
  const platform::P256Key key = platform::GenerateP256Key();
  const platform::P256Key other = platform::GenerateP256Key();
  const Signed what{{10, platform::Sha256Of("list")}, {48, platform::Sha256Of("index")}};
  const std::string document = SignBlocks(what, {other.private_pem, key.private_pem});
  for (const platform::P256Key* verifier : {&key, &other}) {
    const Signed read = VerifyBlocks(document, EncodeBase64(verifier->public_key));
    EXPECT_EQ(read.list.size, 10u);
    EXPECT_EQ(read.list.sha256, what.list.sha256);
    EXPECT_EQ(read.index.size, 48u);
    EXPECT_EQ(read.index.sha256, what.index.sha256);
  }
  const std::tstring public_key = EncodeBase64(key.public_key);
  std::string tampered = document;
  tampered[document.find("index ") + 6] = '9';
  EXPECT_THAT(Refusal([&] { VerifyBlocks(tampered, public_key); }),
              HasSubstr("signature does not verify."));
  const platform::P256Key stranger = platform::GenerateP256Key();
  EXPECT_THAT(Refusal([&] { VerifyBlocks(document, EncodeBase64(stranger.public_key)); }),
              HasSubstr("signature does not verify."));
  // A release signature is not a block signature, though the same key made it.
  ReleaseSignature release;
  EXPECT_THAT(Refusal([&] { VerifyBlocks(SignRelease(release, {key.private_pem}), public_key); }),
              HasSubstr("malformed"));
}

}  // namespace
}  // namespace block_index
