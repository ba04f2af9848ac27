// Protocol text (HTTP field names, units and tokens) compares and trims by ASCII's rules, whatever
// the locale or the narrow code page: a field name is "Content-Length" in any letter case.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace ascii {

inline char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string Lowered(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), Lower);
  return lower;
}

// text equals lower, which is given in lower case, without regard to the letter case of text.
inline bool EqualsIgnoringCase(std::string_view text, std::string_view lower) {
  return text.size() == lower.size() && std::equal(text.begin(), text.end(), lower.begin(),
                                                   [](char a, char b) { return Lower(a) == b; });
}

// Without the blanks (spaces and tabs) at either end.
inline std::string_view TrimBlanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace ascii
