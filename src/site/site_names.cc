#include "site/site_names.h"

#include "base/relative_path.h"
#include "base/utf8string.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::tstring PercentEncoded(const std::tstring& text) {
  utf8string utf8;
  utf8.SetString(text);
  return utf8.GetUrlEncoded();
}

std::string Utf8PercentEncoded(const std::string& bytes) {
  utf8string text;
  text.SetUtf8Data(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  return text.GetUrlEncoded();
}

}  // namespace

std::string_view SuffixOf(BesideList document) {
  switch (document) {
    case BesideList::kSignature:
      return ".sig";
    case BesideList::kBlocks:
      return ".blocks";
    case BesideList::kFine:
      return ".fine";
    case BesideList::kBlocksSignature:
      return ".blocks.sig";
    case BesideList::kRoots:
      return ".roots";
    case BesideList::kTimestamp:
      return ".timestamp";
    case BesideList::kMirrors:
      return ".mirrors";
    case BesideList::kRemoved:
      return ".removed";
  }
  return {};
}

std::string SiteFileName(BesideList document) {
  return std::string(kSiteListName).append(SuffixOf(document));
}

std::tstring UrlBesideList(const std::tstring& list_url, BesideList document) {
  return std::tstring(list_url).append(SuffixOf(document));
}

std::optional<BesideList> BesideListAt(std::string_view request_path, std::string_view list_path) {
  if (!request_path.starts_with(list_path)) return std::nullopt;
  const std::string_view suffix = request_path.substr(list_path.size());
  for (const BesideList document : kBesideList) {
    if (suffix == SuffixOf(document)) return document;
  }
  return std::nullopt;
}

std::tstring EncodePathForQuery(const std::tstring& path) {
  return PercentEncoded(PercentEncoded(path));
}

std::tstring PackageUrl(const std::tstring& list_url, const std::tstring& path,
                        const std::tstring& orgsize) {
  return list_url + "?file=" + EncodePathForQuery(path) + "&orgsize=" + orgsize;
}

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

std::optional<std::string> PackagePathForValues(const std::string& file, const std::string& size) {
  const auto once = PercentDecode(file);
  const auto path = once ? PercentDecode(*once) : std::nullopt;
  if (!path || !IsSafeRelativePath(*path)) return std::nullopt;
  return PackagePathForQuery(Utf8PercentEncoded(Utf8PercentEncoded(*path)), size);
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
