#include "site/block_index.h"

#include <algorithm>
#include <cstring>

#include "base/exception.h"
#include "base/little_endian.h"

namespace block_index {

namespace {

constexpr char kMagic[] = "VBIX";
constexpr std::uint32_t kVersion = 1;
constexpr char kSignatureMagic[] = "varne-block-signature 1";

[[noreturn]] void Refuse(const char* what) {
  throw DownloadManagerException(std::tstring("Block index error(") + what + ").", true);
}

// Appends fields to a document in the index's byte order.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}
  void Number(std::uint64_t value, std::size_t size) { little_endian::Append(out_, value, size); }
  template <std::size_t N>
  void Bytes(const std::array<std::uint8_t, N>& bytes) {
    out_.append(reinterpret_cast<const char*>(bytes.data()), N);
  }

 private:
  std::string& out_;
};

// Reads fields in order from a span the caller has checked is long enough.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  std::uint64_t Number(std::size_t size) {
    const std::uint64_t value = little_endian::Read(bytes_.data(), size);
    bytes_.remove_prefix(size);
    return value;
  }
  template <std::size_t N>
  void Bytes(std::array<std::uint8_t, N>& out) {
    std::memcpy(out.data(), bytes_.data(), N);
    bytes_.remove_prefix(N);
  }

 private:
  std::string_view bytes_;
};

Entry ReadEntry(Reader& in) {
  Entry entry;
  entry.coarse_offset = in.Number(8);
  entry.coarse_size = in.Number(8);
  in.Bytes(entry.coarse_sha256);
  entry.fine_offset = in.Number(8);
  entry.fine_size = in.Number(8);
  in.Bytes(entry.md5);
  return entry;
}

// Documents must lie one after another from where the first belongs, each of a size that a
// document of its kind can have, so that no two entries share bytes.
void CheckPlacement(const Entry& entry, std::uint64_t coarse_at, std::uint64_t fine_at) {
  if (entry.coarse_offset != coarse_at || entry.fine_offset != fine_at) Refuse("misplaced");
  if (entry.coarse_size < block_data::kHeaderSize ||
      (entry.coarse_size - block_data::kHeaderSize) % block_data::kCoarseRecordSize != 0 ||
      entry.fine_size % block_data::kFineRecordSize != 0) {
    Refuse("document size");
  }
}

}  // namespace

BlockFiles MakeBlockFiles(const ListDigest& list, const std::vector<FileBlocks>& files) {
  std::string index;
  Writer out(index);
  out.Number(list.size, 8);
  out.Bytes(list.sha256);
  out.Number(files.size(), 8);
  std::uint64_t coarse_at = kHeaderSize + kIndexHead + kEntrySize * files.size();
  std::uint64_t fine_at = 0;
  for (const FileBlocks& file : files) {
    const block_data::BlockDocuments& documents = file.documents;
    out.Number(coarse_at, 8);
    out.Number(documents.coarse.size(), 8);
    out.Bytes(platform::Sha256Of(documents.coarse));
    out.Number(fine_at, 8);
    out.Number(documents.fine.size(), 8);
    out.Bytes(file.md5);
    coarse_at += documents.coarse.size();
    fine_at += documents.fine.size();
  }
  BlockFiles result;
  result.blocks = kMagic;
  Writer header(result.blocks);
  header.Number(kVersion, 4);
  header.Number(index.size(), 8);
  result.blocks += index;
  result.fine.reserve(fine_at);
  for (const FileBlocks& file : files) {
    result.blocks += file.documents.coarse;
    result.fine += file.documents.fine;
  }
  return result;
}

std::uint64_t IndexEnd(std::string_view header) {
  if (header.size() < kHeaderSize || header.substr(0, 4) != kMagic) Refuse("not block data");
  Reader in(header.substr(4, kHeaderSize - 4));
  if (in.Number(4) != kVersion) Refuse("version");
  const std::uint64_t size = in.Number(8);
  if (size < kIndexHead || size > kMaxIndexSize || (size - kIndexHead) % kEntrySize != 0) {
    Refuse("index size");
  }
  return kHeaderSize + size;
}

std::string_view IndexBytes(std::string_view start) {
  return start.substr(kHeaderSize, IndexEnd(start) - kHeaderSize);
}

Index ParseIndex(std::string_view start) {
  const std::uint64_t end = IndexEnd(start);
  if (start.size() < end) Refuse("index cut short");
  Reader in(start.substr(kHeaderSize, end - kHeaderSize));
  Index index;
  index.list.size = in.Number(8);
  in.Bytes(index.list.sha256);
  const std::uint64_t count = in.Number(8);
  if (count != (end - kHeaderSize - kIndexHead) / kEntrySize) Refuse("entry count");
  std::uint64_t coarse_at = end;
  std::uint64_t fine_at = 0;
  index.entries.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    const Entry entry = ReadEntry(in);
    CheckPlacement(entry, coarse_at, fine_at);
    // A sum that wrapped would let a later entry point back into an earlier one's bytes.
    if (entry.coarse_size > UINT64_MAX - coarse_at || entry.fine_size > UINT64_MAX - fine_at) {
      Refuse("document size");
    }
    coarse_at += entry.coarse_size;
    fine_at += entry.fine_size;
    index.entries.push_back(entry);
  }
  return index;
}

std::string SignBlocks(const Signed& what, const std::vector<std::string>& private_pems) {
  const std::string text = std::string(kSignatureMagic) + "\n" +
                           SizeAndDigestLine("list", what.list) +
                           SizeAndDigestLine("index", what.index);
  return SignDocument(text, private_pems);
}

Signed VerifyBlocks(std::string_view document, const KeySet& keys) {
  const std::vector<std::string_view> lines = VerifiedLines(document, keys, kMaxSignatureSize);
  if (lines.size() != 3 || lines[0] != kSignatureMagic) {
    throw DownloadManagerException("signature document is malformed.", true);
  }
  return {SizeAndDigestOf(lines[1], "list"), SizeAndDigestOf(lines[2], "index")};
}

}  // namespace block_index
