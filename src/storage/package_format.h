// The package file's byte layout and its keystreams. A package is a 56-byte header, then one
// 64-byte record per entry (the directory, always scrambled), then each entry's UTF-16LE name
// followed at once by its data. All integers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "storage/mersenne_twister.h"

inline constexpr std::size_t kPackageHeaderSize = 56;
inline constexpr std::size_t kPackageRecordSize = 64;
inline constexpr char kPackageMagic[4] = {'V', 'N', 'P', 'F'};
inline constexpr std::uint32_t kPackageVersion = 1;

struct PackageHeader {
  bool magic_ok = true;
  std::uint32_t version = kPackageVersion;
  std::uint64_t fileSize = 0;
  std::uint64_t entryCount = 0;
  std::uint64_t directoryOffset = kPackageHeaderSize;
  std::uint64_t dataAreaOffset = kPackageHeaderSize;
  std::uint32_t headerSeed = 0;

  void Encode(std::uint8_t (&bytes)[kPackageHeaderSize]) const;
  static PackageHeader Decode(const std::uint8_t (&bytes)[kPackageHeaderSize]);
};

// The failure to open a package file, with its path for %s.
inline constexpr char kPackageCannotOpen[] = "Package File \"%s\" cannot open.";

// The length of a package that holds only `name` (narrow text) with `size` bytes of data: the
// header, one record, the name in UTF-16LE and the data. No valid one-entry package is longer.
std::uint64_t OneEntryPackageSize(std::string_view name, std::uint64_t size);

// One directory record. Offsets are absolute positions in the package file.
struct WPACKAGE_INFO_CELL {
  std::uint32_t nameLength = 0;  // bytes of UTF-16LE, no terminator
  std::uint32_t scrambled = 0;   // 1: name and data are scrambled; anything else: plain
  std::uint64_t nameOffset = 0;
  std::uint64_t dataOffset = 0;
  std::uint64_t storedSize = 0;
  std::uint64_t sourceSize = 0;  // the size the entry's file reports
  std::uint8_t digest[16] = {};  // MD5 of the data
  std::uint32_t recordSeed = 0;  // seeds the name keystream; its complement the data keystream
  std::uint32_t reserved = 0;

  void Encode(std::uint8_t (&bytes)[kPackageRecordSize]) const;
  static WPACKAGE_INFO_CELL Decode(const std::uint8_t (&bytes)[kPackageRecordSize]);
  bool IsScrambled() const { return scrambled == 1; }
};

// A scrambling keystream: byte j of a region is XORed with byte j mod 4 (least significant first)
// of output j / 4 of a generator. Scrambling and unscrambling are the same operation, and a region
// may be processed in pieces of any size: the keystream continues where the last piece ended.
class KeyStream {
 public:
  KeyStream() = default;
  explicit KeyStream(std::uint32_t seed) { SetPosition(seed, 0); }

  // Restarts the keystream of seed at region position p.
  void SetPosition(std::uint32_t seed, std::uint64_t p);
  void Apply(std::uint8_t* data, std::size_t length);
  // Moves on by count bytes without using them: reaching a later position costs the distance,
  // where SetPosition costs the position itself.
  void Skip(std::uint64_t count);

 private:
  MersenneTwister generator_;
  std::uint32_t word_ = 0;
  unsigned used_ = 0;  // bytes of word_ already used; 0 means a fresh output is due
};

// The seeds of the three keystreams of a package.
inline std::uint32_t DirectorySeed(std::uint32_t package_key, std::uint32_t header_seed) {
  return package_key ^ header_seed;
}
inline std::uint32_t NameSeed(const WPACKAGE_INFO_CELL& record) { return record.recordSeed; }
inline std::uint32_t DataSeed(const WPACKAGE_INFO_CELL& record) { return ~record.recordSeed; }
