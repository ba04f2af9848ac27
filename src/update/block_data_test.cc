#include "update/block_data.h"

#include <gtest/gtest.h>

#include "base/exception.h"
#include "update/testing/block_changes.h"

namespace block_data {
namespace {

std::string ErrorOf(const std::string& document) {
  try {
    ParseBlockData(document);
  } catch (const Exception& failure) {
    return failure.GetText();
  }
  return "";
}

std::string Header(std::uint64_t file_size, std::uint32_t coarse, std::uint32_t fine) {
  std::string header = "VBLK";
  const auto put = [&header](std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i) header += static_cast<char>(value >> (8 * i));
  };
  put(1, 4);
  put(file_size, 8);
  put(coarse, 4);
  put(fine, 4);
  return header;
}

TEST(BlockDataTest, RefusesDocumentsThatDoNotDescribeTheirFile) {
  struct Case {
    const char* name;
    std::string document;
    const char* error;
  };
  const std::string record(kCoarseRecordSize, 'r');
  const std::string valid = Header(5000, 1024, 256) + std::string(5 * kCoarseRecordSize, 'r');
  std::string version_2 = valid;
  version_2[4] = 2;
  const Case cases[] = {
      {.name = "short", .document = "VBLK", .error = "shorter than its header"},
      {.name = "magic", .document = "XBLK" + valid.substr(4), .error = "not block data"},
      {.name = "version", .document = version_2, .error = "unknown version"},
      {.name = "coarse not a power of two",
       .document = Header(3000, 1536, 256) + record + record,
       .error = "block size out of bounds"},
      {.name = "coarse too small",
       .document = Header(0, 512, 256),
       .error = "block size out of bounds"},
      {.name = "fine above coarse",
       .document = Header(0, 1024, 2048),
       .error = "block size out of bounds"},
      {.name = "fine too small",
       .document = Header(0, 1024, 128),
       .error = "block size out of bounds"},
      {.name = "fine too large",
       .document = Header(0, 1 << 20, 1 << 17),
       .error = "block size out of bounds"},
      {.name = "too many fine per coarse",
       .document = Header(0, 1 << 19, 256),
       .error = "block size out of bounds"},
      {.name = "one record short",
       .document = valid.substr(0, valid.size() - kCoarseRecordSize),
       .error = "record count does not agree with the file size"},
      {.name = "trailing byte",
       .document = valid + "x",
       .error = "record count does not agree with the file size"},
      {.name = "records for a file the size cannot hold",
       .document = Header(~std::uint64_t{0}, 1024, 256) + record,
       .error = "record count does not agree with the file size"},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(ErrorOf(test.document),
              std::string("DownloadManager : Block data error(") + test.error + ").")
        << test.name;
  }
  EXPECT_EQ(ErrorOf(valid), "");
  EXPECT_EQ(ErrorOf(Header(0, 1024, 256)), "");
}

// The release tool hands the writer whatever pieces its reads give, and the updater rolls the
// weak sum byte by byte: both must agree with the sum of a whole block.
TEST(BlockDataTest, DocumentsDoNotDependOnHowTheBytesArriveAndTheSumRolls) {
  std::mt19937_64 random(1);
  const std::string bytes = testing::RandomBytes(3 * 4096 + 777, random);
  BlockDataWriter whole(4096, 512);
  whole.Update(bytes.data(), bytes.size());
  const BlockDocuments expected = whole.Finish();
  for (std::size_t piece : {1u, 7u, 512u, 1000u, 5000u}) {
    BlockDataWriter writer(4096, 512);
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      writer.Update(bytes.data() + at, std::min(piece, bytes.size() - at));
    }
    const BlockDocuments documents = writer.Finish();
    EXPECT_EQ(documents.coarse, expected.coarse) << piece;
    EXPECT_EQ(documents.fine, expected.fine) << piece;
  }
  const BlockData data = ParseBlockData(expected.coarse);
  EXPECT_EQ(data.file_size, bytes.size());
  ASSERT_EQ(data.BlockCount(), 4u);
  EXPECT_EQ(expected.fine.size(), 26 * kFineRecordSize);
  EXPECT_EQ(data.FineRecordsLength(3, 4), 2 * kFineRecordSize);

  const auto* raw = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const RollingSum rolling(4096);
  std::uint64_t sum = RollingSum::Of(raw, 4096);
  for (std::size_t at = 1; at <= 2 * 4096; ++at) {
    sum = rolling.Roll(sum, raw[at - 1], raw[at + 4095]);
    ASSERT_EQ(sum, RollingSum::Of(raw + at, 4096)) << at;
  }
  EXPECT_EQ(RollingSum::Weak(sum), data.weak[2]);
}

}  // namespace
}  // namespace block_data
