// The copies of a site its publisher names ("filelist.mirrors" beside the list): other list URLs
// under which the same release is served, signed by the keys that sign the release and bound to
// its list, so that a copy can add no copies of its own to an install that follows them. Its text,
// one item a line (LF breaks):
//
//   varne-mirrors 1
//   list <size> <sha256 hex>   the list document of the release it goes with
//   mirror <list URL>          one line per copy, in the publisher's order
//   signature <base64>         as in every signed document of a release
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "site/release_signature.h"

inline constexpr std::size_t kMaxMirrorListSize = 64 << 10;
inline constexpr std::size_t kMaxMirrors = 16;

// Whether a URL may be named as a copy: "http://", at most 2,000 characters, nothing that breaks
// a line or a request (no blanks, no control characters).
bool IsMirrorUrl(std::string_view url);

// The document for the list, signed with each private key. Throws DownloadManagerException for
// more than kMaxMirrors URLs or one that IsMirrorUrl refuses, and Exception when a key cannot sign.
std::string SignMirrorList(const std::vector<std::string>& urls, const ListDigest& list,
                           const std::vector<std::string>& private_pems);

// The copies the document names, once the key set signed it and it goes with the list (none: with
// whatever list). Throws DownloadManagerException otherwise.
std::vector<std::string> VerifyMirrorList(std::string_view document, const KeySet& keys,
                                          const std::optional<ListDigest>& list);
