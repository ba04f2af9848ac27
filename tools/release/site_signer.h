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

// Signs the site's list, which BuildSite wrote from the same image, with every key (more than one
// while a key is rotated); the release expires after expires_days. Returns the serial. Throws
// Exception on failure, leaving the old signature in place.
std::uint64_t SignSite(const std::string& image, const std::string& site,
                       const std::vector<std::string>& key_files, int expires_days,
                       std::int64_t now);
