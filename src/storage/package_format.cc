#include "storage/package_format.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "platform/text.h"

namespace {

template <typename T>
void Put(std::uint8_t* at, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

template <typename T>
T Get(const std::uint8_t* at) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(at[i]) << (8 * i);
  return value;
}

constexpr std::size_t kBatch = 1024;

// data[4k..4k+3] ^= words[k], least significant byte first, whatever the host's byte order.
void XorWords(std::uint8_t* data, const std::uint32_t* words, std::size_t count) {
  if constexpr (std::endian::native == std::endian::little) {
    for (std::size_t k = 0; k < count; ++k) {
      std::uint32_t value;
      std::memcpy(&value, data + 4 * k, 4);
      value ^= words[k];
      std::memcpy(data + 4 * k, &value, 4);
    }
  } else {
    for (std::size_t k = 0; k < count; ++k) {
      for (int b = 0; b < 4; ++b) data[4 * k + b] ^= static_cast<std::uint8_t>(words[k] >> (8 * b));
    }
  }
}

}  // namespace

std::uint64_t OneEntryPackageSize(std::string_view name, std::uint64_t size) {
  const std::uint64_t overhead =
      kPackageHeaderSize + kPackageRecordSize + 2 * platform::AnsiToWide(name).size();
  // A size near the top of the range saturates rather than wrapping to a small limit.
  return size > std::numeric_limits<std::uint64_t>::max() - overhead
             ? std::numeric_limits<std::uint64_t>::max()
             : overhead + size;
}

void PackageHeader::Encode(std::uint8_t (&bytes)[kPackageHeaderSize]) const {
  std::memset(bytes, 0, sizeof bytes);
  std::memcpy(bytes, kPackageMagic, sizeof kPackageMagic);
  Put(bytes + 4, version);
  Put(bytes + 8, fileSize);
  Put(bytes + 16, entryCount);
  Put(bytes + 24, directoryOffset);
  Put(bytes + 32, dataAreaOffset);
  Put(bytes + 40, headerSeed);
}

PackageHeader PackageHeader::Decode(const std::uint8_t (&bytes)[kPackageHeaderSize]) {
  PackageHeader header;
  header.magic_ok = std::memcmp(bytes, kPackageMagic, sizeof kPackageMagic) == 0;
  header.version = Get<std::uint32_t>(bytes + 4);
  header.fileSize = Get<std::uint64_t>(bytes + 8);
  header.entryCount = Get<std::uint64_t>(bytes + 16);
  header.directoryOffset = Get<std::uint64_t>(bytes + 24);
  header.dataAreaOffset = Get<std::uint64_t>(bytes + 32);
  header.headerSeed = Get<std::uint32_t>(bytes + 40);
  return header;
}

void WPACKAGE_INFO_CELL::Encode(std::uint8_t (&bytes)[kPackageRecordSize]) const {
  Put(bytes + 0, nameLength);
  Put(bytes + 4, scrambled);
  Put(bytes + 8, nameOffset);
  Put(bytes + 16, dataOffset);
  Put(bytes + 24, storedSize);
  Put(bytes + 32, sourceSize);
  std::memcpy(bytes + 40, digest, sizeof digest);
  Put(bytes + 56, recordSeed);
  Put(bytes + 60, reserved);
}

WPACKAGE_INFO_CELL WPACKAGE_INFO_CELL::Decode(const std::uint8_t (&bytes)[kPackageRecordSize]) {
  WPACKAGE_INFO_CELL record;
  record.nameLength = Get<std::uint32_t>(bytes + 0);
  record.scrambled = Get<std::uint32_t>(bytes + 4);
  record.nameOffset = Get<std::uint64_t>(bytes + 8);
  record.dataOffset = Get<std::uint64_t>(bytes + 16);
  record.storedSize = Get<std::uint64_t>(bytes + 24);
  record.sourceSize = Get<std::uint64_t>(bytes + 32);
  std::memcpy(record.digest, bytes + 40, sizeof record.digest);
  record.recordSeed = Get<std::uint32_t>(bytes + 56);
  record.reserved = Get<std::uint32_t>(bytes + 60);
  return record;
}

void KeyStream::SetPosition(std::uint32_t seed, std::uint64_t p) {
  generator_.Seed(seed);
  generator_.Discard(p / 4);
  used_ = static_cast<unsigned>(p % 4);
  if (used_ != 0) word_ = generator_.Next();
}

void KeyStream::Skip(std::uint64_t count) {
  if (used_ != 0) {
    const unsigned left = 4 - used_;
    if (count < left) {
      used_ += static_cast<unsigned>(count);
      return;
    }
    count -= left;
    used_ = 0;
  }
  generator_.Discard(count / 4);
  used_ = static_cast<unsigned>(count % 4);
  if (used_ != 0) word_ = generator_.Next();
}

void KeyStream::Apply(std::uint8_t* data, std::size_t length) {
  std::size_t i = 0;
  for (; i < length && used_ != 0; ++i) {
    data[i] ^= static_cast<std::uint8_t>(word_ >> (8 * used_));
    used_ = (used_ + 1) % 4;
  }
  // Whole words, a batch of outputs at a time.
  std::uint32_t words[kBatch];
  while (length - i >= 4) {
    const std::size_t count = std::min<std::size_t>((length - i) / 4, kBatch);
    generator_.Generate(words, count);
    XorWords(data + i, words, count);
    i += 4 * count;
  }
  if (i < length) word_ = generator_.Next();
  for (; i < length; ++i) {
    data[i] ^= static_cast<std::uint8_t>(word_ >> (8 * used_));
    used_ = (used_ + 1) % 4;
  }
}
