// The MD5 text of a file on disk, as a list line names it: the publisher's release tool writes it
// and the updater's check compares with it, so both read files through DigestOfOpenFile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/file_stamp.h"
#include "storage/md5.h"

// Read-ahead keeps up with blocks of this size, and a stop waits for no more than one of them.
constexpr std::size_t kFileDigestBlockSize = 256 << 10;

// Takes no notice of the bytes a digest reads.
struct IgnoreBytes {
  void operator()(const std::uint8_t*, std::size_t) const {}
};

// Reads an open file from where it stands to its end in blocks of block.size() bytes, handing each
// to seen(bytes, size). False when a read fails, or when stopped() gives true; it is asked before
// each block.
template <typename Stopped, typename Seen>
bool ReadOpenFile(platform::SequentialFile& file, std::span<std::uint8_t> block, Stopped stopped,
                  Seen seen) {
  for (;;) {
    if (stopped()) return false;
    const std::int64_t read = file.Read(block.data(), block.size());
    if (read < 0) return false;
    if (read == 0) return true;
    seen(block.data(), static_cast<std::size_t>(read));
  }
}

// The MD5 text of an open file, read by ReadOpenFile, each block also handed to seen(bytes, size)
// so that one pass can feed another digest. Empty when the reading fails or is stopped.
template <typename Stopped, typename Seen = IgnoreBytes>
std::string DigestOfOpenFile(platform::SequentialFile& file, std::span<std::uint8_t> block,
                             Stopped stopped, Seen seen = {}) {
  MD5Context context;
  const bool read =
      ReadOpenFile(file, block, stopped, [&](const std::uint8_t* bytes, std::size_t size) {
        context.Update(bytes, size);
        seen(bytes, size);
      });
  return read ? MD5Context::ToText(context.Final()) : std::string();
}
