#include "base/relative_path.h"

#include <algorithm>

std::vector<std::string_view> SplitPathComponents(std::string_view path) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t end = path.find_first_of("\\/");
    parts.push_back(path.substr(0, end));
    if (end == std::string_view::npos) return parts;
    path.remove_prefix(end + 1);
  }
}

bool IsSafeRelativePath(std::string_view path) {
  // No byte of a multibyte UTF-8 character is below 0x80, so a byte scan never cuts one.
  const bool plain = std::all_of(path.begin(), path.end(), [](char c) {
    return static_cast<unsigned char>(c) >= 0x20 && c != ':';
  });
  if (!plain) return false;
  const std::vector<std::string_view> parts = SplitPathComponents(path);
  return std::none_of(parts.begin(), parts.end(), [](std::string_view part) {
    return part.empty() || part == "." || part == "..";
  });
}
