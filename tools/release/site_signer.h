// Signs a built site: "filelist.sig" beside the list vouches for the exact list document and for
// the SHA-256 of every listed file of the image, under a serial that grows with every signed build;
// "filelist.blocks.sig" vouches for the block data's index, bound to the same list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Writes a new private key file (owner-only) and returns the public key as base64. Throws Exception
// when the file exists or cannot be written.
std::string MakeSigningKey(const std::string& key_file);

// The signature documents of a release, for BuildSite to publish with its list.
struct SiteSignatures {
  std::uint64_t serial = 0;
  std::string list;    // "filelist.sig"
  std::string blocks;  // "filelist.blocks.sig"; empty when the release has no block data
};

// Signs a list document made from `image` and the block data bound to it (`blocks`, the index
// document; empty for none) with every key (more than one while a key is rotated), under a serial
// above the one the site's current signature carries; the release expires after expires_days.
// Throws Exception on failure.
SiteSignatures SignSite(const std::string& image, const std::string& site,
                        const std::string& list_document, const std::string& blocks,
                        const std::vector<std::string>& key_files, int expires_days,
                        std::int64_t now);
