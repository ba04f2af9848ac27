// Message texts break their lines with CR LF, as the system's message boxes expect; views that
// show them elsewhere turn each pair into a plain line feed.
#pragma once

#include <string>

inline std::string WithLineFeeds(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}
