#include "site/file_list.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>

#include "base/exception.h"
#include "base/relative_path.h"

namespace {

// Cuts the text before the first of the separators off rest, as GetSplit does: the whole rest
// when there is none, nothing when rest is empty. Views instead of erasing from the front keep a
// long list (or a long path) linear.
std::string_view TakeUntil(std::string_view& rest, std::string_view separators) {
  const std::size_t end = rest.find_first_of(separators);
  const std::string_view piece = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  return piece;
}

// One line as GetLine gives it: up to the first LF, a CR just before it belonging to the break.
std::string_view TakeLine(std::string_view& rest) {
  const std::size_t end = rest.find('\n');
  std::string_view line = rest.substr(0, end);
  if (end == std::string_view::npos) {
    rest = {};
    return line;
  }
  rest.remove_prefix(end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Cuts one list line into its five fields; the fifth is the rest of the line, colons included.
std::array<std::string_view, 5> SplitLine(std::string_view line) {
  std::array<std::string_view, 5> fields;
  for (std::size_t i = 0; i < 4; ++i) fields[i] = TakeUntil(line, ":");
  fields[4] = line;
  return fields;
}

void PutLength(std::string& block, std::size_t length) {
  for (; length >= 0x80; length >>= 7) block += static_cast<char>((length & 0x7F) | 0x80);
  block += static_cast<char>(length);
}

// A size field's number: digits only, few enough for 64 bits.
std::optional<std::uint64_t> SizeOf(std::string_view text) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != text.npos) {
    return std::nullopt;
  }
  std::uint64_t size = 0;
  std::from_chars(text.data(), text.data() + text.size(), size);
  return size;
}

std::size_t TakeLength(std::string_view& rest) {
  std::size_t length = 0;
  for (int shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(rest.front());
    rest.remove_prefix(1);
    length |= static_cast<std::size_t>(byte & 0x7F) << shift;
    if (byte < 0x80) return length;
  }
}

// The listed path without "." components and with doubled separators made single (".\\a",
// "a\\\\b", "a/./b" name "a", "a\\b", "a/b"), each separator kept as written: servers write
// such spellings and mean the plain path. A leading or trailing separator stays, for the path
// rule to refuse, as does ".." (resolving it would need the folders on disk).
std::string OneSpelling(std::string_view path) {
  std::string spelling;
  const std::vector<std::string_view> parts = SplitPathComponents(path);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const bool inner = i > 0 && i + 1 < parts.size();
    if (parts[i] == "." || (parts[i].empty() && inner)) continue;
    spelling += parts[i];
    const std::size_t end =
        static_cast<std::size_t>(parts[i].data() - path.data()) + parts[i].size();
    if (end < path.size()) spelling += path[end];
  }
  return spelling;
}

}  // namespace

FileList::FileList(std::initializer_list<FileEntry> entries) {
  reserve(entries.size());
  for (const FileEntry& entry : entries) push_back(entry);
}

std::string_view FileList::Stored(std::size_t index) const {
  const std::size_t block = static_cast<std::size_t>(
      std::upper_bound(block_ends_.begin(), block_ends_.end(), index) - block_ends_.begin());
  const std::string& text = blocks_[block];
  const std::size_t end = index + 1 < block_ends_[block] ? starts_[index + 1] : text.size();
  return std::string_view(text).substr(starts_[index], end - starts_[index]);
}

std::optional<std::uint64_t> FileList::OrgSizeAt(std::size_t index) const {
  std::string_view rest = Stored(index);
  const std::size_t path = TakeLength(rest);
  const std::size_t orgsize = TakeLength(rest);
  TakeLength(rest);
  return SizeOf(rest.substr(path, orgsize));
}

std::string_view FileList::PathAt(std::size_t index) const {
  std::string_view rest = Stored(index);
  const std::size_t path = TakeLength(rest);
  TakeLength(rest);
  TakeLength(rest);
  return rest.substr(0, path);
}

FileEntry FileList::operator[](std::size_t index) const {
  std::string_view rest = Stored(index);
  const std::size_t path = TakeLength(rest);
  const std::size_t orgsize = TakeLength(rest);
  const std::size_t spelling = TakeLength(rest);
  return {std::tstring(rest.substr(0, path)), std::tstring(rest.substr(path, orgsize)),
          std::tstring(rest.substr(path + orgsize + spelling)),
          std::tstring(rest.substr(path + orgsize, spelling))};
}

void FileList::Add(std::string_view path, std::string_view orgsize, std::string_view md5,
                   std::string_view spelling) {
  if (spelling == path) spelling = {};
  if (blocks_.empty() || blocks_.back().size() >= kBlockBytes) {
    // A full block is cut to its size: growing it left up to as much again unused.
    if (!blocks_.empty()) blocks_.back().shrink_to_fit();
    blocks_.emplace_back();
    block_ends_.push_back(starts_.size());
  }
  std::string& block = blocks_.back();
  starts_.push_back(static_cast<std::uint32_t>(block.size()));
  PutLength(block, path.size());
  PutLength(block, orgsize.size());
  PutLength(block, spelling.size());
  block.append(path).append(orgsize).append(spelling).append(md5);
  block_ends_.back() = starts_.size();
}

void FileList::Append(FileList&& other) {
  if (!blocks_.empty()) blocks_.back().shrink_to_fit();
  const std::size_t base = size();
  starts_.insert(starts_.end(), other.starts_.begin(), other.starts_.end());
  for (std::size_t i = 0; i < other.blocks_.size(); ++i) {
    blocks_.push_back(std::move(other.blocks_[i]));
    blocks_.back().shrink_to_fit();
    block_ends_.push_back(base + other.block_ends_[i]);
  }
  other = FileList();
}

void ParseFileList(std::tstring text, FileList& list) {
  FileList parsed;
  // Growing the list entry by entry would move every entry made so far, again and again.
  parsed.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  for (std::string_view rest(text); !rest.empty();) {
    const auto fields = SplitLine(TakeLine(rest));
    const bool complete =
        !fields[0].empty() && !fields[2].empty() && !fields[3].empty() && !fields[4].empty();
    const std::string path = OneSpelling(fields[2]);
    if (!complete || !IsSafeRelativePath(path)) {
      throw DownloadManagerException("List file error.", true);
    }
    parsed.Add(path, fields[3], fields[4], fields[2]);
  }
  list.Append(std::move(parsed));
}

std::optional<std::uint64_t> OrgSizeOf(const FileEntry& entry) { return SizeOf(entry.orgsize); }
