#include "nginx_config.h"

#include "site/site_names.h"

namespace {

// One encoded byte of the updater's query: "%25" and the byte's two hexadecimal digits, encoded.
constexpr char kEncodedByte[] = "(?:%25%[0-9A-F]{2}%[0-9A-F]{2})";
constexpr char kPackagesLocation[] = "/varne-packages/";

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The rewrite for a file value of `folders` pieces, matched with the size before it in
// $varne_package: every piece is a folder name, and the size names the package in the last.
std::string RewriteFor(int folders) {
  std::string pattern = "^(?<varne_size>[0-9]{1," + std::to_string(kMaxSizeDigits) + "}):";
  std::string target = kPackagesLocation;
  for (int i = 1; i <= folders; ++i) {
    const std::string name = std::string("p").append(std::to_string(i));
    const std::string count = i < folders
                                  ? std::to_string(kBytesPerFolder)
                                  : std::string("1,").append(std::to_string(kBytesPerFolder));
    pattern.append("(?<").append(name).append(">").append(kEncodedByte);
    pattern.append("{").append(count).append("})");
    target.append("$").append(name).append("/");
  }
  target.append("$varne_size.vpk");
  pattern += "$";
  std::string rule = "    if ($varne_package ~ ";
  rule.append(Quoted(pattern)).append(") {\n      rewrite ^ ").append(target);
  rule.append("? last;\n    }\n");
  return rule;
}

// A file beside the list, at the list's path followed by what the file's name adds to the list's
// ("filelist.sig" at "<list path>.sig"). Static, so nginx answers range requests for it.
// The signatures, roots and timestamp are text; the block data is not.
std::string StaticLocation(const std::string& list_path, const std::string& site,
                           BesideList document) {
  const bool binary = document == BesideList::kBlocks || document == BesideList::kFine;
  return "  location = " + list_path + std::string(SuffixOf(document)) + " {\n    default_type " +
         (binary ? "application/octet-stream" : "text/plain") + ";\n    alias " +
         Quoted(site + "/" + SiteFileName(document)) + ";\n  }\n\n";
}

}  // namespace

std::string MakeNginxServerBlock(const std::string& listen, const std::string& list_path,
                                 const std::string& site) {
  std::string block =
      "# A release built by varne-release. Include this file from the http { } block of nginx.\n"
      "server {\n"
      "  listen " +
      listen +
      ";\n\n"
      "  # The list without a query; one file's package with ?file=<path encoded twice>&orgsize=.\n"
      "  location = " +
      list_path +
      " {\n"
      "    default_type text/plain;\n"
      "    alias " +
      Quoted(site + "/" + kSiteListName) +
      ";\n    set $varne_package \"$arg_orgsize:$arg_file\";\n";
  for (int folders = 1; folders <= kMaxFolders; ++folders) block += RewriteFor(folders);
  block +=
      "    if ($args) {\n      return 404;\n    }\n"
      "  }\n\n";
  for (const BesideList document : kBesideList) block += StaticLocation(list_path, site, document);
  block += "  location " + std::string(kPackagesLocation) +
           " {\n"
           "    internal;\n"
           "    default_type application/octet-stream;\n"
           "    alias " +
           Quoted(site + "/" + kSitePackagesFolder + "/") +
           ";\n"
           "  }\n\n"
           "  location / {\n    return 404;\n  }\n"
           "}\n";
  return block;
}
