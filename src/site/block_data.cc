#include "site/block_data.h"

#include <algorithm>
#include <array>
#include <bit>

#include "base/exception.h"
#include "base/little_endian.h"
#include "platform/crypto.h"

namespace block_data {

namespace {

constexpr char kMagic[] = "VBLK";
constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kMaxCoarse = 16 * 1024 * 1024;
constexpr std::uint32_t kMinFine = 256;
constexpr std::uint32_t kMaxFinePerCoarse = 1024;

constexpr std::uint64_t Power(std::uint64_t base, std::uint64_t exponent) {
  std::uint64_t result = 1;
  for (; exponent != 0; exponent >>= 1, base *= base) {
    if (exponent & 1) result *= base;
  }
  return result;
}

constexpr std::uint64_t kFactor8 = Power(RollingSum::kFactor, 8);

[[noreturn]] void Refuse(const char* what) {
  throw DownloadManagerException(std::tstring("Block data error(") + what + ").", true);
}

bool BlockSizesAllowed(std::uint32_t coarse, std::uint32_t fine) {
  return std::has_single_bit(coarse) && std::has_single_bit(fine) && coarse >= kMinCoarseSize &&
         coarse <= kMaxCoarse && fine >= kMinFine && fine <= std::min(coarse, kMaxFineSize) &&
         coarse / fine <= kMaxFinePerCoarse;
}

std::uint64_t CeilDivide(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0); }

}  // namespace

RollingSum::RollingSum(std::uint32_t window) {
  const std::uint64_t leaving = Power(kFactor, window);
  for (int v = 0; v < 256; ++v) {
    entering_[v] = Table()[v];
    leaving_[v] = Table()[v] * leaving;
  }
}

const std::uint64_t* RollingSum::Table() {
  static const std::array<std::uint64_t, 256> table = [] {
    std::array<std::uint64_t, 256> values{};
    std::uint64_t state = 0x7661726E65ull;
    for (auto& value : values) {
      std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      value = z ^ (z >> 31);
    }
    return values;
  }();
  return table.data();
}

// Eight interleaved Horner chains, so the multiplications of neighbouring bytes do not wait for
// each other; chain j holds the bytes at 8m + j, which sit 7 - j powers below the next chain's.
// The chains are named, not an array, so that they stay in registers.
std::uint64_t RollingSum::Of(const std::uint8_t* bytes, std::size_t size) {
  const std::uint64_t* table = Table();
  const std::size_t whole = size - size % 8;
  std::uint64_t s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0, s5 = 0, s6 = 0, s7 = 0;
  for (const std::uint8_t* b = bytes; b != bytes + whole; b += 8) {
    s0 = s0 * kFactor8 + table[b[0]];
    s1 = s1 * kFactor8 + table[b[1]];
    s2 = s2 * kFactor8 + table[b[2]];
    s3 = s3 * kFactor8 + table[b[3]];
    s4 = s4 * kFactor8 + table[b[4]];
    s5 = s5 * kFactor8 + table[b[5]];
    s6 = s6 * kFactor8 + table[b[6]];
    s7 = s7 * kFactor8 + table[b[7]];
  }
  std::uint64_t sum = 0;
  for (std::uint64_t chain : {s0, s1, s2, s3, s4, s5, s6, s7}) sum = sum * kFactor + chain;
  for (std::size_t i = whole; i < size; ++i) sum = sum * kFactor + table[bytes[i]];
  return sum;
}

std::uint64_t RollingSum::Append(std::uint64_t a, std::uint64_t b, std::size_t b_size) {
  return a * Power(kFactor, b_size) + b;
}

std::uint64_t BlockData::BlockLength(std::uint64_t block) const {
  return std::min<std::uint64_t>(coarse_size, file_size - BlockOffset(block));
}

std::uint64_t BlockData::FineRecordsOffset(std::uint64_t first) const {
  return first * FinePerBlock() * kFineRecordSize;
}

std::uint64_t BlockData::FineRecordsLength(std::uint64_t first, std::uint64_t end) const {
  const std::uint64_t fine_end = std::min(end * FinePerBlock(), CeilDivide(file_size, fine_size));
  return (fine_end - first * FinePerBlock()) * kFineRecordSize;
}

BlockData ParseBlockData(std::string_view document) {
  if (document.size() < kHeaderSize) Refuse("shorter than its header");
  if (document.substr(0, 4) != kMagic) Refuse("not block data");
  if (little_endian::Read(&document[4], 4) != kVersion) Refuse("unknown version");
  BlockData data;
  data.file_size = little_endian::Read(&document[8], 8);
  data.coarse_size = static_cast<std::uint32_t>(little_endian::Read(&document[16], 4));
  data.fine_size = static_cast<std::uint32_t>(little_endian::Read(&document[20], 4));
  if (!BlockSizesAllowed(data.coarse_size, data.fine_size)) Refuse("block size out of bounds");
  const std::uint64_t records = document.size() - kHeaderSize;
  if (records % kCoarseRecordSize != 0 ||
      records / kCoarseRecordSize != CeilDivide(data.file_size, data.coarse_size)) {
    Refuse("record count does not agree with the file size");
  }
  const std::size_t count = records / kCoarseRecordSize;
  data.weak.resize(count);
  data.strong.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const char* record = &document[kHeaderSize + i * kCoarseRecordSize];
    data.weak[i] = static_cast<std::uint32_t>(little_endian::Read(record, kWeakSize));
    data.strong[i] = little_endian::Read(record + kWeakSize, kStrongSize);
  }
  return data;
}

std::uint64_t StrongOf(std::string_view fine_records) {
  const platform::Sha256Digest digest = platform::Sha256Of(fine_records);
  return little_endian::Read(reinterpret_cast<const char*>(digest.data()), kStrongSize);
}

std::string BlockHasher::FineRecord(const std::uint8_t* bytes, std::size_t size) {
  sha_.Update(bytes, size);
  const platform::Sha256Digest digest = sha_.Final();
  return std::string(digest.begin(), digest.begin() + kFineRecordSize);
}

std::uint64_t BlockHasher::Strong(const std::uint8_t* bytes, std::uint64_t size,
                                  std::uint32_t fine_size) {
  records_.clear();
  for (std::uint64_t done = 0; done < size; done += fine_size) {
    records_ += FineRecord(bytes + done, std::min<std::uint64_t>(fine_size, size - done));
  }
  return StrongOf(records_);
}

BlockDataWriter::BlockDataWriter(std::uint32_t coarse_size, std::uint32_t fine_size)
    : coarse_size_(coarse_size), fine_size_(fine_size) {
  if (!BlockSizesAllowed(coarse_size, fine_size)) Refuse("block size out of bounds");
}

void BlockDataWriter::Update(const void* bytes, std::size_t size) {
  const auto* next = static_cast<const std::uint8_t*>(bytes);
  file_size_ += size;
  if (!pending_.empty()) {
    const std::size_t take = std::min(size, fine_size_ - pending_.size());
    pending_.append(reinterpret_cast<const char*>(next), take);
    next += take;
    size -= take;
    if (pending_.size() < fine_size_) return;
    AddFine(reinterpret_cast<const std::uint8_t*>(pending_.data()), fine_size_);
    pending_.clear();
  }
  for (; size >= fine_size_; next += fine_size_, size -= fine_size_) AddFine(next, fine_size_);
  pending_.append(reinterpret_cast<const char*>(next), size);
}

void BlockDataWriter::AddFine(const std::uint8_t* bytes, std::size_t size) {
  documents_.fine += hasher_.FineRecord(bytes, size);
  coarse_sum_ = RollingSum::Append(coarse_sum_, RollingSum::Of(bytes, size), size);
  coarse_filled_ += size;
  if (coarse_filled_ == coarse_size_) EndCoarse();
}

void BlockDataWriter::EndCoarse() {
  little_endian::Append(documents_.coarse, RollingSum::Weak(coarse_sum_), kWeakSize);
  little_endian::Append(documents_.coarse,
                        StrongOf(std::string_view(documents_.fine).substr(coarse_fine_start_)),
                        kStrongSize);
  coarse_sum_ = 0;
  coarse_filled_ = 0;
  coarse_fine_start_ = documents_.fine.size();
}

BlockDocuments BlockDataWriter::Finish() {
  if (!pending_.empty())
    AddFine(reinterpret_cast<const std::uint8_t*>(pending_.data()), pending_.size());
  if (coarse_filled_ != 0) EndCoarse();
  std::string header(kMagic, 4);
  little_endian::Append(header, kVersion, 4);
  little_endian::Append(header, file_size_, 8);
  little_endian::Append(header, coarse_size_, 4);
  little_endian::Append(header, fine_size_, 4);
  documents_.coarse.insert(0, header);
  return std::move(documents_);
}

}  // namespace block_data
