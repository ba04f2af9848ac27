// The release's file list: one line per file, five ":"-separated fields (a non-empty marker, an
// unused field, the path relative to the install folder, the size text sent back to the server, the
// expected MD5 digest text, which is the rest of the line).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/tstring.h"

struct FileEntry {
  std::tstring path;  // the one spelling the install folder knows the file by
  std::tstring orgsize;
  std::tstring md5;
  // The path as the list writes it, when that differs from path (".\\a" for "a"): the server
  // knows the file by it.
  std::tstring spelling = {};

  const std::tstring& Listed() const { return spelling.empty() ? path : spelling; }
};

// The entries of a list, in list order. Entries are read back by value: the list keeps their
// fields packed into blocks of text, with one 4-byte offset per entry, because a list of millions
// of short lines held as three strings an entry costs many times its document. Adding copies at
// most the block being filled, never the blocks before it. Any thread may read a list that no
// thread changes.
class FileList {
 public:
  class Iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = FileEntry;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = FileEntry;

    Iterator(const FileList* list, std::size_t index) : list_(list), index_(index) {}
    FileEntry operator*() const { return (*list_)[index_]; }
    Iterator& operator++() {
      ++index_;
      return *this;
    }
    bool operator==(const Iterator&) const = default;

   private:
    const FileList* list_;
    std::size_t index_;
  };

  FileList() = default;
  FileList(std::initializer_list<FileEntry> entries);

  std::size_t size() const { return starts_.size(); }
  bool empty() const { return starts_.empty(); }
  FileEntry operator[](std::size_t index) const;
  // Entry index's path, without copying it: valid while the list is.
  std::string_view PathAt(std::size_t index) const;
  // OrgSizeOf(entry index), without copying the entry.
  std::optional<std::uint64_t> OrgSizeAt(std::size_t index) const;
  Iterator begin() const { return {this, 0}; }
  Iterator end() const { return {this, size()}; }

  // Room for this many entries in all, so that adding them never copies the offsets.
  void reserve(std::size_t entries) { starts_.reserve(entries); }
  void push_back(const FileEntry& entry) {
    Add(entry.path, entry.orgsize, entry.md5, entry.spelling);
  }
  void Add(std::string_view path, std::string_view orgsize, std::string_view md5,
           std::string_view spelling = {});
  // Moves the entries of other to the end of this list; other is left empty.
  void Append(FileList&& other);

 private:
  // A block takes entries until it holds this many bytes; each entry then starts within 32 bits.
  static constexpr std::size_t kBlockBytes = 1 << 20;

  // Entry index's bytes as stored.
  std::string_view Stored(std::size_t index) const;

  // Each entry: the lengths of its path, size text and listed spelling (7 bits a byte, the high
  // bit set on all but the last byte; a spelling that is the path's is empty), then the path, the
  // size text, the spelling and the digest text, which runs to the entry's end.
  std::vector<std::string> blocks_;
  std::vector<std::size_t> block_ends_;  // the index after the last entry of each block
  std::vector<std::uint32_t> starts_;    // each entry's offset in its block
};

// Appends the entries of a whole list document to list, each path without "." components and
// doubled separators (".\\a" is kept as "a", with ".\\a" as its spelling). A malformed line, or a
// path that IsSafeRelativePath then refuses, throws DownloadManagerException "List file error."
// and appends nothing.
void ParseFileList(std::tstring text, FileList& list);

// The size field as a number when it is decimal digits, at most 19 of them, so that every accepted
// field fits 64 bits (no file is as large as a 20-digit size). Nothing for any other text. The
// release builder writes the file's size in bytes; what another server means by the field is its
// own, so a caller takes the number as a size only where something vouches for it.
std::optional<std::uint64_t> OrgSizeOf(const FileEntry& entry);
