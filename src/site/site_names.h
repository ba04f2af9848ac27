// Every name of a release site, made and parsed in one place: the folder a publisher builds and
// the URLs an updater asks for. The list document is "filelist" in the folder and the list URL on
// the server; each document beside it takes the list's name, or its URL path, with a suffix
// appended ("filelist.sig" at "<list URL>.sig"). One file's package is asked for with the list URL
// and a query ("?file=<path encoded twice>&orgsize=<size>"), and stored below "packages/" under
// that encoded path.
//
// The stored package name: the path's UTF-8 bytes percent-encoded twice, in upper-case
// hexadecimal. A web server can then map the raw query value to a file without decoding it, and
// the stored names hold only "%", digits and capitals, so no query can name anything outside the
// packages folder. File names have a length limit, so the encoded text is cut into folders of
// kBytesPerFolder encoded bytes. In the last folder the file's size, the query's other value,
// names the package ("<size>.vpk", which no folder name is): a build that changes a file's size
// writes its package beside the one that players still holding the previous list fetch, so that
// they never get the new file for the old list's line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/tstring.h"

inline constexpr char kSiteListName[] = "filelist";
inline constexpr char kSiteSettingsName[] = "varne-site.conf";
inline constexpr char kSitePackagesFolder[] = "packages";
inline constexpr char kSiteNginxName[] = "nginx-site.conf";

// The documents beside the list: the release's signature, the files' block data (coarse index and
// documents, fine documents) and its signature, the trust roots the site made (oldest first), and
// the timestamp signed again at least daily, the other copies of the site its publisher names, and
// the files that earlier releases listed and this one does not.
enum class BesideList {
  kSignature,
  kBlocks,
  kFine,
  kBlocksSignature,
  kRoots,
  kTimestamp,
  kMirrors,
  kRemoved
};
inline constexpr BesideList kBesideList[] = {
    BesideList::kSignature,       BesideList::kBlocks,  BesideList::kFine,
    BesideList::kBlocksSignature, BesideList::kRoots,   BesideList::kTimestamp,
    BesideList::kMirrors,         BesideList::kRemoved,
};

// What the document's name adds to the list's: ".sig", ".blocks", ...
std::string_view SuffixOf(BesideList document);
// The document's file name in a site folder ("filelist.sig").
std::string SiteFileName(BesideList document);
// The document's URL beside the list's.
std::tstring UrlBesideList(const std::tstring& list_url, BesideList document);
// The document that a request path names, when it is the list's path with a suffix appended.
std::optional<BesideList> BesideListAt(std::string_view request_path, std::string_view list_path);

// Each byte of a path becomes "%25%XX%YY", nine characters: 28 bytes make a 252-character name.
inline constexpr int kEncodedByteLength = 9;
inline constexpr int kBytesPerFolder = 28;
inline constexpr int kMaxFolders = 8;
inline constexpr int kMaxSizeDigits = 20;

// The path as the update server's query wants it: its UTF-8 bytes percent-encoded, twice.
std::tstring EncodePathForQuery(const std::tstring& path);
// The URL of one listed file's package.
std::tstring PackageUrl(const std::tstring& list_url, const std::tstring& path,
                        const std::tstring& orgsize);

// The package of a listed path and size relative to the site folder ("packages/%25%36%31/5.vpk"),
// or nothing when the path is too long to be stored or the size is not a number.
std::optional<std::string> PackagePathForQuery(const std::string& twice_encoded,
                                               const std::string& size);
// The stored package that a query's "file" and "orgsize" values name: the file value decoded twice
// to the listed path, refused when the updater would not install that path, and encoded again in
// the one spelling the site stores. Nothing when they name none.
std::optional<std::string> PackagePathForValues(const std::string& file, const std::string& size);

// Undoes one percent-encoding; nothing when the text is not well formed.
std::optional<std::string> PercentDecode(const std::string& text);
