#include "update/file_list.h"

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

}  // namespace

void ParseFileList(std::tstring text, FileList& list) {
  FileList parsed;
  // Growing the list entry by entry would move every entry made so far, again and again.
  parsed.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  CaseFoldedPaths paths;
  for (std::string_view rest(text); !rest.empty();) {
    const auto fields = SplitLine(TakeLine(rest));
    const bool complete =
        !fields[0].empty() && !fields[2].empty() && !fields[3].empty() && !fields[4].empty();
    if (!complete || !IsSafeRelativePath(fields[2])) {
      throw DownloadManagerException("List file error.", true);
    }
    if (const auto earlier = paths.Add(fields[2])) {
      throw DownloadManagerException("List file error(names differ only in case) : " + *earlier +
                                         ", " + std::string(fields[2]),
                                     true);
    }
    parsed.push_back({std::tstring(fields[2]), std::tstring(fields[3]), std::tstring(fields[4])});
  }
  list.insert(list.end(), std::make_move_iterator(parsed.begin()),
              std::make_move_iterator(parsed.end()));
}

std::optional<std::uint64_t> OrgSizeOf(const FileEntry& entry) {
  const std::tstring& text = entry.orgsize;
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != text.npos) {
    return std::nullopt;
  }
  std::uint64_t size = 0;
  std::from_chars(text.data(), text.data() + text.size(), size);
  return size;
}
