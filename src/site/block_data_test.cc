#include "site/block_data.h"

#include <gtest/gtest.h>

#include "site/testing/block_changes.h"
#include "storage/testing/storage_test_util.h"

namespace block_data {
namespace {

std::string Document(std::uint64_t file_size, std::uint32_t coarse, std::uint32_t fine,
                     std::size_t records, std::uint32_t version = 1) {
  std::string document = "VBLK";
  for (auto [value, size] :
       {std::pair<std::uint64_t, int>{version, 4}, {file_size, 8}, {coarse, 4}, {fine, 4}}) {
    for (int i = 0; i < size; ++i) document += static_cast<char>(value >> (8 * i));
  }
  return document + std::string(records * kCoarseRecordSize, 'r');
}

TEST(BlockDataTest, RefusesDocumentsThatDoNotDescribeTheirFile) {
  const std::string bounds = "block size out of bounds";
  const std::string count = "record count does not agree with the file size";
  const std::pair<std::string, std::string> cases[] = {
      {"VBLK", "shorter than its header"},
      {"X" + Document(0, 1024, 256, 0).substr(1), "not block data"},
      {Document(5000, 1024, 256, 5, 2), "unknown version"},
      {Document(3000, 1536, 256, 2), bounds},
      {Document(0, 512, 256, 0), bounds},
      {Document(0, 1024, 2048, 0), bounds},
      {Document(0, 1024, 128, 0), bounds},
      {Document(0, 1 << 20, 1 << 17, 0), bounds},
      {Document(0, 1 << 19, 256, 0), bounds},
      {Document(5000, 1024, 256, 4), count},
      {Document(5000, 1024, 256, 5) + "x", count},
      {Document(~std::uint64_t{0}, 1024, 256, 1), count},
  };
  for (const auto& [document, error] : cases) {
    EXPECT_EQ(ErrorOf([&] { ParseBlockData(document); }),
              "DownloadManager : Block data error(" + error + ").");
  }
  EXPECT_NO_THROW(ParseBlockData(Document(5000, 1024, 256, 5)));
  EXPECT_NO_THROW(ParseBlockData(Document(0, 1024, 256, 0)));
}

// The release tool hands the writer whatever pieces its reads give.
TEST(BlockDataTest, DocumentsDoNotDependOnHowTheBytesArrive) {
  std::mt19937_64 random(1);
  const std::string bytes = testing::RandomBytes(3 * 4096 + 777, random);
  const BlockDocuments expected = testing::DocumentsOf(bytes, 4096, 512);
  for (std::size_t piece : {1u, 7u, 512u, 1000u, 5000u}) {
    BlockDataWriter writer(4096, 512);
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      writer.Update(bytes.data() + at, std::min(piece, bytes.size() - at));
    }
    const BlockDocuments documents = writer.Finish();
    EXPECT_TRUE(documents.coarse == expected.coarse && documents.fine == expected.fine) << piece;
  }
  // Each fine record is its own block's digest, whatever the writer digested before it.
  for (std::size_t at = 0; at < bytes.size(); at += 512) {
    const platform::Sha256Digest digest =
        platform::Sha256Of(std::string_view(bytes).substr(at, 512));
    EXPECT_EQ(expected.fine.substr(at / 512 * kFineRecordSize, kFineRecordSize),
              std::string(digest.begin(), digest.begin() + kFineRecordSize));
  }
}

}  // namespace
}  // namespace block_data
