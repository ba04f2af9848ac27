#include "site_layout.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> PackagePathForQuery(const std::string& twice_encoded,
                                               const std::string& size) {
  const size_t piece = kBytesPerFolder * kEncodedByteLength;
  if (twice_encoded.empty() || twice_encoded.size() % kEncodedByteLength != 0 ||
      twice_encoded.size() > piece * kMaxFolders || size.empty() || size.size() > kMaxSizeDigits ||
      size.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  std::string path = kSitePackagesFolder;
  for (size_t pos = 0; pos < twice_encoded.size(); pos += piece) {
    path += '/';
    path += twice_encoded.substr(pos, piece);
  }
  return path + "/" + size + ".vpk";
}

std::optional<std::string> PercentDecode(const std::string& text) {
  std::string out;
  for (size_t pos = 0; pos < text.size(); ++pos) {
    if (text[pos] != '%') {
      out += text[pos];
      continue;
    }
    if (pos + 2 >= text.size()) return std::nullopt;
    const int high = HexValue(text[pos + 1]);
    const int low = HexValue(text[pos + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    pos += 2;
  }
  return out;
}
