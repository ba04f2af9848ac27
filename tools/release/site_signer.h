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

// The longest a signed release may stay valid: a mirror can keep serving a release until it
// expires, so a longer life only lengthens how long players can be held on it.
constexpr int kMaxExpiresDays = 366;
// How far ahead of the signing machine's clock a serial may run. A serial is a time in seconds
// when the clock leads; a far higher one came from a stolen key, a slip or a wrong clock, and
// every later release would sign below what players hold.
constexpr std::int64_t kMaxSerialLead = 86400;

// What signing a build needs, made before anything of the build is written, so that a key or a
// serial that cannot be signed with leaves the site as it was.
struct SigningPlan {
  std::vector<std::string> keys;  // private key texts, more than one while a key is rotated
  std::uint64_t serial = 0;
  std::int64_t expires = 0;
};

// Reads the key files and picks the serial: above the one the site's current signature carries,
// and at least the clock's seconds. Throws Exception when a key file cannot be read or holds no
// P-256 key, and when that serial would wrap or lead `now` by more than kMaxSerialLead.
SigningPlan PlanSigning(const std::string& site, const std::vector<std::string>& key_files,
                        int expires_days, std::int64_t now);

// The signature documents of a release, for BuildSite to publish with its list.
struct SiteSignatures {
  std::uint64_t serial = 0;
  std::string list;    // "filelist.sig"
  std::string blocks;  // "filelist.blocks.sig"; empty when the release has no block data
};

// Signs a list document made from `image` and the block data bound to it (`blocks`, the index
// document; empty for none) as planned. Throws Exception on failure.
SiteSignatures SignSite(const std::string& image, const std::string& list_document,
                        const std::string& blocks, const SigningPlan& plan);
