#include "base/relative_path.h"

#include <algorithm>
#include <array>

#include "base/ascii.h"
#include "base/tstring.h"

namespace {

bool IsDeviceName(std::string_view part) {
  // Windows ignores what follows the first dot, and blanks before it.
  std::string_view stem = part.substr(0, part.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  const std::string name = ascii::Lowered(stem);
  static constexpr std::array<std::string_view, 4> kPlain = {"con", "prn", "aux", "nul"};
  if (std::find(kPlain.begin(), kPlain.end(), name) != kPlain.end()) return true;
  return name.size() == 4 && (name.starts_with("com") || name.starts_with("lpt")) &&
         name[3] >= '1' && name[3] <= '9';
}

}  // namespace

std::vector<std::string_view> SplitPathComponents(std::string_view path) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t end = path.find_first_of("\\/");
    parts.push_back(path.substr(0, end));
    if (end == std::string_view::npos) return parts;
    path.remove_prefix(end + 1);
  }
}

const char* RelativePathProblem(std::string_view path) {
  // No byte of a multibyte UTF-8 character is below 0x80, so a byte scan never cuts one.
  const bool plain = std::all_of(path.begin(), path.end(), [](char c) {
    return static_cast<unsigned char>(c) >= 0x20 &&
           std::string_view("<>:\"|?*").find(c) == std::string_view::npos;
  });
  if (!plain) return "a control character or one of <>:\"|?*";
  for (const std::string_view part : SplitPathComponents(path)) {
    if (part.empty() || part == "." || part == "..") return "not a path below its folder";
    if (part.back() == '.' || part.back() == ' ') return "a name ending in a dot or a blank";
    if (IsDeviceName(part)) return "a device name on Windows";
  }
  return nullptr;
}

std::optional<std::string> CaseFoldedPaths::Add(std::string_view path) {
  std::tstring folded{std::string(path)};
  folded.ToBackslashes();
  folded.ToLower();
  const auto [entry, added] = by_folded_.try_emplace(static_cast<std::string&&>(folded), path);
  if (added) return std::nullopt;
  return entry->second;
}
