// What an install trusts: the keys that sign its releases and how many of them must, the key that
// signs the site's daily timestamp, and the game its releases are for. An install starts from the
// keys its configuration names (version 0, keys alone) and from then on changes its root only
// along root documents that both the keys it trusts and the new keys sign; what a release's own
// files say about keys never changes it.
//
// A root document; "filelist.roots" beside the list holds every root the site made, oldest first:
//
//   varne-root 1
//   version <n>                 1 for the first, one more for each rotation
//   game <id>                   fixed by the first root
//   threshold <k>               signatures of distinct keys a release needs
//   key <base64>                one line per key, at most kMaxSignatures
//   timestamp-key <base64>
//   signature <base64>          k of the previous root's keys and k of its own
//
// A timestamp document ("filelist.timestamp"), signed again at least daily with the timestamp key,
// so that a mirror can hold players on an old release for a day at most:
//
//   varne-timestamp 1
//   game <id>
//   root <version>              the newest root, so that a withheld rotation is seen
//   expires <YYYY-MM-DDTHH:MM:SSZ>
//   release <size> <sha256 hex> the exact signature document of the release
//   signature <base64>
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "site/release_signature.h"

struct TrustRoot {
  std::uint64_t version = 0;  // 0: the configuration's keys, before any root document
  std::string game;
  KeySet keys;
  std::vector<std::uint8_t> timestamp_key;

  bool operator==(const TrustRoot&) const = default;
};

// The root an install holds before any root document: the configured keys and, when the
// configuration names it, the game (then only a root of that game is followed, never the keys
// alone).
inline TrustRoot RootOfKeys(KeySet keys, std::string game = {}) {
  TrustRoot root;
  root.keys = std::move(keys);
  root.game = std::move(game);
  return root;
}

// The largest roots and timestamp documents read.
constexpr std::size_t kMaxRootsSize = 1u << 20;
constexpr std::size_t kMaxTimestampSize = 4096;
// The longest a timestamp may stay valid, and how far a player's clock may lag behind the signer's:
// a timestamp that expires more than their sum after the player's clock is refused. So a thief of
// the timestamp key holds correct clocks on a release for at most 48 hours past the signing, and a
// clock a day slow still takes a fresh timestamp. A clock ahead takes one while it has not expired
// by that clock: as far ahead as the timestamp's remaining life (a day just after its renewal).
constexpr std::int64_t kMaxTimestampLife = 86400;
constexpr std::int64_t kClockSkew = 86400;

// A root's signed part, and its reading (also of the copy an install keeps). Throws
// DownloadManagerException for text that is not one.
std::string RootText(const TrustRoot& root);
TrustRoot ParseRoot(std::string_view text);
// A root document, signed with each private key. Throws Exception when a key cannot sign.
std::string SignRoot(const TrustRoot& root, const std::vector<std::string>& private_pems);

// The root an install holding `current` moves to along a roots document: each later root must be
// the next version, of the same game, signed by the keys before and by its own. From version 0 the
// newest root whose keys are the configured ones, signed by them, comes first; when version 0
// names a game, that root must be of it, and a site without one is refused. Throws
// DownloadManagerException for a root that follows but does not pass.
TrustRoot FollowRoots(std::string_view roots, TrustRoot current);
// The newest root of a roots document, unverified (the publisher's own); version 0 for none.
TrustRoot NewestRoot(std::string_view roots);

struct Timestamp {
  std::string game;
  std::uint64_t root = 0;
  std::int64_t expires = 0;  // seconds since 1970-01-01 UTC
  ListDigest release;
};

std::string SignTimestamp(const Timestamp& timestamp, const std::string& private_pem);
// Reads a timestamp document signed with the root's timestamp key and checks that it is the root's
// game and version, current at `now` but not for longer than kMaxTimestampLife + kClockSkew, and
// names `release`. Throws DownloadManagerException; when the clock may be what is wrong, the text
// says so in Japanese with `now` and `signed_at` (when the release was signed; 0 when unknown).
Timestamp CheckTimestamp(std::string_view document, const TrustRoot& root,
                         const ListDigest& release, std::int64_t now, std::int64_t signed_at = 0);
// The timestamp document's content, unverified (the publisher's own); nothing when unreadable.
std::optional<Timestamp> ReadTimestamp(std::string_view document);
