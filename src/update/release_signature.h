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
// A document may carry several signature lines, one per key, so that a release can be read both
// by updaters that have the old key and by those that have the new one while a key is rotated.
//
// The list itself stays as it was, so an updater without a key reads a signed site as before.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/tstring.h"
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

// What every signed document of a release shares: lines of "<key> <value>", then one
// "signature <base64>" line per key over every byte before the first of them.

// The text followed by a signature line for each private key. Throws Exception when a key cannot
// sign.
std::string SignDocument(const std::string& text, const std::vector<std::string>& private_pems);
// The lines before the signatures of a document of at most max_size bytes and kMaxSignatures
// signature lines, once one of its signatures verifies with the base64 public key. Throws
// DownloadManagerException otherwise.
std::vector<std::string_view> VerifiedLines(std::string_view document,
                                            const std::tstring& public_key, std::size_t max_size);
// A "<key> <size> <sha256 hex>" line, and its reading (throws DownloadManagerException).
std::string SizeAndDigestLine(std::string_view key, const ListDigest& digest);
ListDigest SizeAndDigestOf(std::string_view line, std::string_view key);

// The document's name beside the list, and its URL beside the list's.
extern const char kSignatureSuffix[];
// The largest signature document read; each list entry takes 71 bytes of it.
constexpr std::size_t kMaxSignatureSize = 80u << 20;
// The most signature lines a document may carry: one per key, and a rotation needs two.
constexpr std::size_t kMaxSignatures = 16;

// The whole document, signed with each private key. Throws Exception when a key cannot sign.
std::string SignRelease(const ReleaseSignature& release,
                        const std::vector<std::string>& private_pems);

// Reads a document and checks that one of its signatures is made with the base64 public key. Throws
// DownloadManagerException with a text that says what was refused.
ReleaseSignature VerifyRelease(std::string_view document, const std::tstring& public_key);

// Checks a verified release against the list document that came with it and the install's state.
// Throws DownloadManagerException ("release expired.", "older release than installed.", ...).
void CheckRelease(const ReleaseSignature& release, const ListDigest& list, std::size_t list_entries,
                  std::int64_t now, std::uint64_t installed_serial);

std::string UtcText(std::int64_t seconds);
