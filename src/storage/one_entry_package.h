// The start of a package that holds one file, read before any of the file's data: what the engine
// needs to know to take the data as it comes (where it begins, how it is scrambled) and to refuse a
// package that is not the listed file's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/tstring.h"
#include "storage/md5.h"
#include "storage/package_format.h"

struct OneEntryStart {
  // The header and the one record that follows it.
  static constexpr std::size_t kSize = kPackageHeaderSize + kPackageRecordSize;

  // Decodes a package's first kSize bytes, unscrambling the record.
  static OneEntryStart Decode(const std::uint8_t* bytes);

  // One entry of size bytes stored as they are, with the MD5 md5, whose data lies in the package.
  bool Holds(std::uint64_t size, const MD5Bytes& md5) const;
  // Nothing lies between the parts: the name follows the record, the data the name, and the
  // package ends with the data, which is not empty.
  bool Packed() const;

  PackageHeader header;
  WPACKAGE_INFO_CELL record;
};

// The file at path begins as a package does, or holds a shorter piece of such a beginning (nothing
// at all included).
bool IsPackageStart(const std::tstring& path);
