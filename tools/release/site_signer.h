// Signs a built site: "filelist.sig" beside the list vouches for the exact list document and for
// the SHA-256 of every listed file of the image, under a serial that grows with every signed build;
// "filelist.blocks.sig" vouches for the block data's index, bound to the same list; on a site with
// a trust root, "filelist.timestamp" names the signature under that root.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/crypto.h"
#include "site/trust_root.h"

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
  TrustRoot root;             // the root signed under; version 0 when the site has none
  std::string roots;          // the roots document that publishes `root`; empty: published already
  std::string timestamp_key;  // the root's timestamp key (private key text); empty without a root
  std::int64_t timestamp_expires = 0;
  std::vector<std::string> mirrors;  // the site's copies, named with the release; none: no copies
};

// Reads the key files and picks the serial: above the one the site's current signature carries,
// and at least the clock's seconds. On a site with a root, the keys must reach its threshold and
// timestamp_key_file must hold its timestamp key, and the serial before counts only while the
// site's timestamp names that root: a rotation starts the serials over from the clock. Throws
// Exception when a key file cannot be read or does not fit, and when the serial would wrap or lead
// `now` by more than kMaxSerialLead.
SigningPlan PlanSigning(const std::string& site, const std::vector<std::string>& key_files,
                        const std::string& timestamp_key_file, int expires_days, std::int64_t now);

// The signature documents of a release, for BuildSite to publish with its list.
struct SiteSignatures {
  std::uint64_t serial = 0;
  std::string list;       // "filelist.sig"
  std::string blocks;     // "filelist.blocks.sig"; empty when the release has no block data
  std::string timestamp;  // "filelist.timestamp"; empty for a site without a root
  std::string roots;      // "filelist.roots" with the root this release publishes; empty: as it is
  std::string mirrors = {};  // "filelist.mirrors"; empty when the release names no copies
  std::string removed = {};  // "filelist.removed", signed
};

// Signs a list document made from `image` and the block data bound to it (`blocks`, the index
// document; empty for none) as planned, under a root the timestamp that names the release, and the
// site's copies, bound to the list, and the removed files' document (its text, bound to the list).
// Throws Exception on failure.
SiteSignatures SignSite(const std::string& image, const std::string& list_document,
                        const std::string& blocks, const std::string& removed,
                        const SigningPlan& plan);
