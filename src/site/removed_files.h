// The files that earlier releases listed and the release beside it does not ("filelist.removed"):
// each path with the exact bytes the release that listed it installed, so that an updater can
// remove a file only while it still holds them (a player's own edit, save or mod stays), and can
// take the bytes of a renamed or moved file from disk instead of fetching them again. Bound to its
// release's list; on a signed site signed by the keys that sign the release. Its text, one item a
// line (LF breaks):
//
//   varne-removed 1
//   list <size> <sha256 hex>                   the list document of the release it goes with
//   removed <age> <size> <md5 hex> <sha256 hex or -> <path, UTF-8>
//   signature <base64>                         on a signed site, as in every signed document
//
// The age counts the releases since the one that stopped listing the file (0: this one). A
// publisher keeps what the last kRemovedKeptReleases releases removed, so that a player that many
// releases behind still loses those files; older entries go, since every player reads the whole
// document on every run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/tstring.h"
#include "site/release_signature.h"
#include "storage/md5.h"

inline constexpr std::size_t kMaxRemovedFilesSize = 16 << 20;
inline constexpr unsigned kRemovedKeptReleases = 8;

struct RemovedFile {
  std::tstring path;  // in the form the list's paths take once read
  std::uint64_t size = 0;
  MD5Bytes md5{};
  std::optional<platform::Sha256Digest> sha256 = {};  // when the release that listed it was signed
  unsigned age = 0;

  bool operator==(const RemovedFile&) const = default;
};

struct RemovedFiles {
  ListDigest list;
  std::vector<RemovedFile> files;
};

// The document's text before any signature. Throws Exception for a path the install rule refuses.
std::string RemovedFilesText(const RemovedFiles& removed);

// Reads a document: with keys, only once the key set signed it; without, whatever signature lines
// it carries are passed over (the reader trusts the site as it trusts the list). Throws
// DownloadManagerException ("removed files document ...") for a document that is not one, larger
// than kMaxRemovedFilesSize, or naming a path the install rule refuses.
RemovedFiles ReadRemovedFiles(std::string_view document, const KeySet* keys);
