#include "storage/one_entry_package.h"

#include <algorithm>
#include <cstring>

#include "platform/file.h"
#include "storage/package_key.h"

OneEntryStart OneEntryStart::Decode(const std::uint8_t* bytes) {
  std::uint8_t header_bytes[kPackageHeaderSize];
  std::uint8_t record_bytes[kPackageRecordSize];
  std::memcpy(header_bytes, bytes, sizeof header_bytes);
  std::memcpy(record_bytes, bytes + sizeof header_bytes, sizeof record_bytes);
  OneEntryStart start;
  start.header = PackageHeader::Decode(header_bytes);
  // The directory is always scrambled, with the package's own seed.
  KeyStream(DirectorySeed(GetPackageKey(), start.header.headerSeed))
      .Apply(record_bytes, sizeof record_bytes);
  start.record = WPACKAGE_INFO_CELL::Decode(record_bytes);
  return start;
}

bool OneEntryStart::Holds(std::uint64_t size, const MD5Bytes& md5) const {
  return header.magic_ok && header.entryCount == 1 &&
         header.directoryOffset == kPackageHeaderSize && record.sourceSize == size &&
         record.storedSize == size && record.dataOffset <= header.fileSize &&
         header.fileSize - record.dataOffset >= size &&
         std::equal(md5.begin(), md5.end(), record.digest);
}

bool OneEntryStart::Packed() const {
  return record.nameOffset == kSize && record.nameLength % 2 == 0 &&
         record.dataOffset == kSize + record.nameLength && header.fileSize > record.dataOffset &&
         header.fileSize - record.dataOffset == record.storedSize;
}

bool IsPackageStart(const std::tstring& path) {
  platform::File file;
  if (file.Open(path, platform::Access::kRead, platform::Share::kReadWrite,
                platform::Disposition::kOpenExisting) != platform::OpenError::kNone) {
    return false;
  }
  char head[sizeof kPackageMagic] = {};
  const std::int64_t read = file.Read(head, sizeof head);
  return read >= 0 && std::equal(head, head + read, kPackageMagic);
}
