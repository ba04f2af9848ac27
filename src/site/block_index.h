// The block data of a release, beside its list: "<list>.blocks" carries an index and every listed
// file's coarse block document, "<list>.fine" every file's fine document (see block_data.h for
// both documents). An updater reads the header and index with one bounded range request, then
// only the documents it needs, by range. All integers are little-endian.
//
// "<list>.blocks":
//   offset 0   4 bytes   magic "VBIX"
//          4   4 bytes   version, 1
//          8   8 bytes   index size I = 48 + 80 E
//         16   I bytes   the index:
//                          8 bytes   size of the list document it belongs to
//                         32 bytes   SHA-256 of that list document
//                          8 bytes   E, the number of entries: one per list line, in list order
//                         then E entries of 80 bytes:
//                          8 bytes   offset of the file's coarse document in "<list>.blocks"
//                          8 bytes   its size
//                         32 bytes   its SHA-256
//                          8 bytes   offset of the file's fine document in "<list>.fine"
//                          8 bytes   its size
//                         16 bytes   MD5 of the file the documents describe
//   then the coarse documents, in list order, each right after the one before, the first at 16 + I;
//   nothing after the last. The fine documents lie the same way in "<list>.fine" from offset 0.
//
// The list binding lets an updater recognise block data left beside a newer list and ignore it.
// "<list>.blocks.sig" signs the list and the index (the I bytes after the header) with the
// release's keys, so that the SHA-256 of each coarse document, and through it its fine records, is
// vouched for:
//
//   varne-block-signature 1
//   list <size> <sha256 hex>
//   index <size> <sha256 hex>
//   signature <base64>            one line per key, over every byte before the first of them
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/tstring.h"
#include "site/block_data.h"
#include "site/release_signature.h"

namespace block_index {

constexpr std::size_t kHeaderSize = 16;
constexpr std::size_t kIndexHead = 48;
constexpr std::size_t kEntrySize = 80;
// The largest index read: a million listed files.
constexpr std::uint64_t kMaxIndexSize = kIndexHead + kEntrySize * (1u << 20);

using Md5 = std::array<std::uint8_t, 16>;

struct Entry {
  std::uint64_t coarse_offset = 0;
  std::uint64_t coarse_size = 0;
  platform::Sha256Digest coarse_sha256{};
  std::uint64_t fine_offset = 0;
  std::uint64_t fine_size = 0;
  Md5 md5{};
};

struct Index {
  ListDigest list;
  std::vector<Entry> entries;
};

// One file's documents, as the release tool hands them over.
struct FileBlocks {
  block_data::BlockDocuments documents;
  Md5 md5{};
};

struct BlockFiles {
  std::string blocks;  // "<list>.blocks"
  std::string fine;    // "<list>.fine"
};

// Both files for a list and its files' documents, in list order.
BlockFiles MakeBlockFiles(const ListDigest& list, const std::vector<FileBlocks>& files);

// How many bytes from the start of "<list>.blocks" hold the header and the index, read from at
// least its first kHeaderSize bytes. Throws DownloadManagerException "Block index error(...)."
// when the header is not one or announces an index larger than kMaxIndexSize.
std::uint64_t IndexEnd(std::string_view header);

// Reads the header and index from the start of "<list>.blocks" (bytes past IndexEnd are ignored),
// refusing anything that is not exactly of the form above, documents that overlap or leave gaps
// included. Throws DownloadManagerException "Block index error(...).".
Index ParseIndex(std::string_view start);

// The index bytes that the signature covers, from the start of a whole "<list>.blocks" that
// ParseIndex accepted.
std::string_view IndexBytes(std::string_view start);

// The largest block signature document read.
constexpr std::size_t kMaxSignatureSize = 64 << 10;

struct Signed {
  ListDigest list;
  ListDigest index;
};

// The signature document for a list and its index, signed with each key. Throws Exception.
std::string SignBlocks(const Signed& what, const std::vector<std::string>& private_pems);
// Reads a signature document once the key set signed it.
// Throws DownloadManagerException.
Signed VerifyBlocks(std::string_view document, const KeySet& keys);

}  // namespace block_index
