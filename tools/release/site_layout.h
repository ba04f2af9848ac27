// Where a release site keeps things. A site folder holds the list document ("filelist"), the site's
// settings ("varne-site.conf"), one package per listed file below "packages/", unless built
// without, the files' block data ("filelist.blocks", "filelist.fine") and, once a trust root is
// made, the roots and the timestamp ("filelist.roots", "filelist.timestamp").
//
// A package is stored under the file's path exactly as the updater puts it in its query: the UTF-8
// bytes percent-encoded twice, in upper-case hexadecimal. A web server can then map the raw query
// value to a file without decoding it, and the stored names hold only "%", digits and capitals, so
// no query can name anything outside the packages folder. File names have a length limit, so the
// encoded text is cut into folders of kBytesPerFolder encoded bytes. In the last folder the file's
// size, the query's other value, names the package ("<size>.vpk", which no folder name is): a
// build that changes a file's size writes its package beside the one that players still holding
// the previous list fetch, so that they never get the new file for the old list's line.
#pragma once

#include <optional>
#include <string>

#include "base/tstring.h"

inline constexpr char kSiteListName[] = "filelist";
// The release's signature; served at the list's path with ".sig" appended.
inline constexpr char kSiteSignatureName[] = "filelist.sig";
// Block data beside the list, each served at the list's path with the suffix after "filelist".
inline constexpr char kSiteBlocksName[] = "filelist.blocks";
inline constexpr char kSiteFineName[] = "filelist.fine";
inline constexpr char kSiteBlocksSignatureName[] = "filelist.blocks.sig";
// The trust roots the site made, oldest first, and the timestamp signed again at least daily; each
// served at the list's path with the suffix after "filelist".
inline constexpr char kSiteRootsName[] = "filelist.roots";
inline constexpr char kSiteTimestampName[] = "filelist.timestamp";
inline constexpr char kSiteSettingsName[] = "varne-site.conf";
inline constexpr char kSitePackagesFolder[] = "packages";
inline constexpr char kSiteNginxName[] = "nginx-site.conf";
// Each byte of a path becomes "%25%XX%YY", nine characters: 28 bytes make a 252-character name.
inline constexpr int kEncodedByteLength = 9;
inline constexpr int kBytesPerFolder = 28;
inline constexpr int kMaxFolders = 8;
inline constexpr int kMaxSizeDigits = 20;

// The package of a listed path and size relative to the site folder ("packages/%25%36%31/5.vpk"),
// or nothing when the path is too long to be stored or the size is not a number.
std::optional<std::string> PackagePathForQuery(const std::string& twice_encoded,
                                               const std::string& size);

// Undoes one percent-encoding; nothing when the text is not well formed.
std::optional<std::string> PercentDecode(const std::string& text);
