// The signature document of a release ("filelist.sig" beside the list): what the publisher vouches
// for, signed with an ECDSA P-256 key. Its text, one item a line (LF breaks):
//
//   varne-release-signature 1
//   serial <n>                      grows with every signed build of the site
//   expires <YYYY-MM-DDTHH:MM:SSZ>  UTC
//   list <size> <sha256 hex>        the exact list document
//   file <sha256 hex>               one line per list entry, in list order
//   signature <base64 of r and s>   over every byte before the first signature line
//
// A document carries one signature line per key that signed it; it counts as signed when the
// threshold of the trusted key set did (trust_root.h says which keys an install trusts).
//
// The list itself stays as it was, so an updater without a key reads a signed site as before.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto.h"

struct ReleaseSignature {
  std::uint64_t serial = 0;
  std::int64_t expires = 0;  // seconds since 1970-01-01 UTC
  std::uint64_t list_size = 0;
  platform::Sha256Digest list_sha256{};
  std::vector<platform::Sha256Digest> files;
};

// What arrived as a list document: what a signed release vouches for.
struct ListDigest {
  std::uint64_t size = 0;
  platform::Sha256Digest sha256{};

  bool operator==(const ListDigest&) const = default;
};

// Keys that vouch together: a document is theirs when at least `threshold` distinct keys of the
// set signed it, so that fewer stolen keys than that sign nothing.
struct KeySet {
  std::size_t threshold = 0;
  std::vector<std::vector<std::uint8_t>> keys;  // raw P-256 points, each once

  bool empty() const { return keys.empty(); }
  // The same keys in any order.
  bool operator==(const KeySet& other) const {
    return threshold == other.threshold &&
           std::is_permutation(keys.begin(), keys.end(), other.keys.begin(), other.keys.end());
  }
};

// A key set as an install's configuration names it: one base64 public key (one of one), or
// "<k>:<key>,<key>,..." for k of the keys listed. Throws DownloadManagerException ("public key is
// not valid.") for anything else, a key named twice, or k outside 1 to the number of keys.
KeySet ParseKeySet(std::string_view text);
// No key twice, at most kMaxSignatures keys, and a threshold from 1 to their number.
bool IsValidKeySet(const KeySet& keys);
std::string KeySetText(const KeySet& keys);
// One line per key, "<name> <base64>", and the reading of such a line.
std::string KeyLine(std::string_view name, const std::vector<std::uint8_t>& key);
std::vector<std::uint8_t> KeyOf(std::string_view line, std::string_view name);

// What every signed document of a release shares: lines of "<key> <value>", then one
// "signature <base64>" line per key over every byte before the first of them.

// A document cut before its signature lines (at most kMaxSignatures, or it is refused), with the
// digest of the part they sign, taken once for all of them. Throws DownloadManagerException.
struct SignedDocument {
  std::string_view signed_part;
  std::vector<std::string_view> signatures;  // the base64 texts
  platform::Sha256Digest digest{};
};
SignedDocument SplitSignatures(std::string_view document, std::size_t max_size);
// True when at least keys.threshold distinct keys of the set signed the document.
bool SignedBy(const SignedDocument& document, const KeySet& keys);
// The document's lines, cut at LF (it must end with one). Throws DownloadManagerException.
std::vector<std::string_view> DocumentLines(std::string_view text);
// The value after "<key> " on a line, a decimal number, a UTC time; each throws
// DownloadManagerException ("signature document is malformed.") when the line is not one.
std::string_view ValueOf(std::string_view line, std::string_view key);
std::uint64_t NumberOf(std::string_view text);
std::int64_t TimeOf(std::string_view text);

// The text followed by a signature line for each private key. Throws Exception when a key cannot
// sign.
std::string SignDocument(const std::string& text, const std::vector<std::string>& private_pems);
// The lines before the signatures of a document of at most max_size bytes and kMaxSignatures
// signature lines, once the key set signed it. Throws DownloadManagerException otherwise.
std::vector<std::string_view> VerifiedLines(std::string_view document, const KeySet& keys,
                                            std::size_t max_size);
// A "<key> <size> <sha256 hex>" line, and its reading (throws DownloadManagerException).
std::string SizeAndDigestLine(std::string_view key, const ListDigest& digest);
ListDigest SizeAndDigestOf(std::string_view line, std::string_view key);

// The largest signature document read; each list entry takes 71 bytes of it.
constexpr std::size_t kMaxSignatureSize = 80u << 20;
// The most signature lines a document may carry: one per key, and a rotation needs two.
constexpr std::size_t kMaxSignatures = 16;

// The whole document, signed with each private key. Throws Exception when a key cannot sign.
std::string SignRelease(const ReleaseSignature& release,
                        const std::vector<std::string>& private_pems);

// Reads a document and checks that the key set signed it. Throws DownloadManagerException with a
// text that says what was refused.
ReleaseSignature VerifyRelease(std::string_view document, const KeySet& keys);
// The document's content, unverified (the publisher's own); nothing when unreadable.
std::optional<ReleaseSignature> ReadRelease(std::string_view document);
// When the release was signed, as its serial says (a build takes the clock's seconds for it); 0
// when the serial is no such time.
std::int64_t SigningTimeOf(const ReleaseSignature& release);

// Checks a verified release against the list document that came with it and the install's state.
// Throws DownloadManagerException ("release expired.", "older release than installed.", ...).
void CheckRelease(const ReleaseSignature& release, const ListDigest& list, std::size_t list_entries,
                  std::int64_t now, std::uint64_t installed_serial);

std::string UtcText(std::int64_t seconds);
