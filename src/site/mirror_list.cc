#include "site/mirror_list.h"

#include <algorithm>

#include "base/exception.h"

namespace {

constexpr char kMagic[] = "varne-mirrors 1";
constexpr std::size_t kMaxUrlLength = 2000;

[[noreturn]] void Refuse(const std::string& why) {
  throw DownloadManagerException("mirror list " + why, true);
}

}  // namespace

bool IsMirrorUrl(std::string_view url) {
  return url.starts_with("http://") && url.size() > 7 && url.size() <= kMaxUrlLength &&
         std::ranges::all_of(url, [](char c) { return c > ' ' && c != 0x7F; });
}

std::string SignMirrorList(const std::vector<std::string>& urls, const ListDigest& list,
                           const std::vector<std::string>& private_pems) {
  if (urls.size() > kMaxMirrors) Refuse("names more than 16 copies.");
  std::string text = std::string(kMagic) + "\n" + SizeAndDigestLine("list", list);
  for (const std::string& url : urls) {
    if (!IsMirrorUrl(url)) Refuse("names no http:// URL : " + url);
    text += "mirror " + url + "\n";
  }
  return SignDocument(text, private_pems);
}

std::vector<std::string> VerifyMirrorList(std::string_view document, const KeySet& keys,
                                          const std::optional<ListDigest>& list) {
  const std::vector<std::string_view> lines = VerifiedLines(document, keys, kMaxMirrorListSize);
  if (lines.size() < 2 || lines[0] != kMagic || lines.size() > 2 + kMaxMirrors) {
    Refuse("is malformed.");
  }
  const ListDigest named = SizeAndDigestOf(lines[1], "list");
  if (list && !(named == *list)) Refuse("is of another release.");
  std::vector<std::string> urls;
  for (std::size_t i = 2; i < lines.size(); ++i) {
    const std::string_view url = ValueOf(lines[i], "mirror");
    if (!IsMirrorUrl(url)) Refuse("is malformed.");
    urls.emplace_back(url);
  }
  return urls;
}
