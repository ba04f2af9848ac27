#include "site/trust_root.h"

#include <algorithm>
#include <optional>

#include "base/exception.h"

namespace {

constexpr char kRootMagic[] = "varne-root 1";
constexpr char kTimestampMagic[] = "varne-timestamp 1";
constexpr std::size_t kMaxGameSize = 64;

[[noreturn]] void Refuse(const char* text) { throw DownloadManagerException(text, true); }

bool IsGameName(std::string_view game) {
  return !game.empty() && game.size() <= kMaxGameSize &&
         std::all_of(game.begin(), game.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '_' || c == '.';
         });
}

// The root documents of a roots document, each from its first line to its last signature.
std::vector<std::string_view> SplitRoots(std::string_view roots) {
  const std::string start = std::string("\n") + kRootMagic + "\n";
  std::vector<std::string_view> documents;
  if (roots.empty()) return documents;
  if (!roots.starts_with(start.substr(1))) Refuse("root document is malformed.");
  std::size_t from = 0;
  for (std::size_t next; (next = roots.find(start, from)) != std::string_view::npos;) {
    documents.push_back(roots.substr(from, next + 1 - from));
    from = next + 1;
  }
  documents.push_back(roots.substr(from));
  return documents;
}

}  // namespace

std::string RootText(const TrustRoot& root) {
  std::string text = std::string(kRootMagic) + "\n";
  text += "version " + std::to_string(root.version) + "\n";
  text += "game " + root.game + "\n";
  text += "threshold " + std::to_string(root.keys.threshold) + "\n";
  for (const auto& key : root.keys.keys) text += KeyLine("key", key);
  return text + KeyLine("timestamp-key", root.timestamp_key);
}

TrustRoot ParseRoot(std::string_view text) {
  const std::vector<std::string_view> lines = DocumentLines(text);
  if (lines.size() < 6 || lines[0] != kRootMagic) Refuse("root document is malformed.");
  TrustRoot root;
  root.version = NumberOf(ValueOf(lines[1], "version"));
  root.game = ValueOf(lines[2], "game");
  root.keys.threshold = NumberOf(ValueOf(lines[3], "threshold"));
  for (std::size_t i = 4; i + 1 < lines.size(); ++i) {
    if (root.keys.keys.size() == kMaxSignatures) Refuse("root document is malformed.");
    root.keys.keys.push_back(KeyOf(lines[i], "key"));
  }
  root.timestamp_key = KeyOf(lines.back(), "timestamp-key");
  if (root.version == 0 || !IsValidKeySet(root.keys) || !IsGameName(root.game)) {
    Refuse("root document is malformed.");
  }
  return root;
}

std::string SignRoot(const TrustRoot& root, const std::vector<std::string>& private_pems) {
  return SignDocument(RootText(root), private_pems);
}

TrustRoot FollowRoots(std::string_view roots, TrustRoot current) {
  if (roots.size() > kMaxRootsSize) Refuse("root document is too large.");
  const std::vector<std::string_view> documents = SplitRoots(roots);
  std::vector<SignedDocument> split;
  std::vector<TrustRoot> parsed;
  for (const std::string_view document : documents) {
    split.push_back(SplitSignatures(document, kMaxRootsSize));
    parsed.push_back(ParseRoot(split.back().signed_part));
  }
  std::size_t next = 0;
  if (current.version == 0) {
    // Configured keys name no root: the newest root of those keys, signed by them, is the start.
    // A configuration that names its game holds the first run to what every later run is held
    // to: a root of that game, and so its timestamp; without, the keys alone may sign.
    const auto same_keys = [&](const TrustRoot& root) { return root.keys == current.keys; };
    const auto start = std::find_if(parsed.rbegin(), parsed.rend(), same_keys);
    if (start == parsed.rend()) {
      if (!current.game.empty()) {
        throw Caused(
            DownloadManagerException("the site has no trust root of the configured keys.", true),
            ErrorCause::kPublisher);
      }
      return current;
    }
    next = static_cast<std::size_t>(parsed.rend() - start) - 1;
    if (!current.game.empty() && parsed[next].game != current.game) {
      Refuse("root is for another game.");
    }
    if (!SignedBy(split[next], current.keys)) Refuse("root document does not verify.");
    current = parsed[next++];
  }
  for (; next < parsed.size(); ++next) {
    const TrustRoot& root = parsed[next];
    if (root.version <= current.version) continue;
    if (root.version != current.version + 1) Refuse("root documents are out of order.");
    if (root.game != current.game) Refuse("root is for another game.");
    if (!SignedBy(split[next], current.keys) || !SignedBy(split[next], root.keys)) {
      Refuse("root document does not verify.");
    }
    current = root;
  }
  return current;
}

TrustRoot NewestRoot(std::string_view roots) {
  const std::vector<std::string_view> documents = SplitRoots(roots);
  if (documents.empty()) return {};
  return ParseRoot(SplitSignatures(documents.back(), kMaxRootsSize).signed_part);
}

std::string SignTimestamp(const Timestamp& timestamp, const std::string& private_pem) {
  const std::string text = std::string(kTimestampMagic) + "\n" + "game " + timestamp.game + "\n" +
                           "root " + std::to_string(timestamp.root) + "\n" + "expires " +
                           UtcText(timestamp.expires) + "\n" +
                           SizeAndDigestLine("release", timestamp.release);
  return SignDocument(text, {private_pem});
}

namespace {

// A timestamp's times refused at the player's clock: a stale site or a wrong clock, which only the
// player can tell apart, so the clock's paragraph shows both dates.
[[noreturn]] void RefuseForClock(const char* text, std::int64_t now, std::int64_t signed_at) {
  throw Caused(DownloadManagerException(text, true), ErrorCause::kClock,
               {UtcText(now), signed_at > 0 ? UtcText(signed_at) : std::string()});
}

Timestamp ParseTimestamp(const std::vector<std::string_view>& lines) {
  if (lines.size() != 5 || lines[0] != kTimestampMagic) Refuse("timestamp is malformed.");
  return {std::string(ValueOf(lines[1], "game")), NumberOf(ValueOf(lines[2], "root")),
          TimeOf(ValueOf(lines[3], "expires")), SizeAndDigestOf(lines[4], "release")};
}

}  // namespace

Timestamp CheckTimestamp(std::string_view document, const TrustRoot& root,
                         const ListDigest& release, std::int64_t now, std::int64_t signed_at) {
  // A timestamp of a newer root is signed with a key this install may not know yet: what it says
  // is read first, so that a withheld rotation is named as such. It is a refusal either way.
  const std::optional<Timestamp> unverified = ReadTimestamp(document);
  if (unverified && unverified->root > root.version) {
    Refuse("the site's newer root could not be followed.");
  }
  const Timestamp timestamp =
      ParseTimestamp(VerifiedLines(document, KeySet{1, {root.timestamp_key}}, kMaxTimestampSize));
  if (timestamp.game != root.game) Refuse("release is for another game.");
  if (timestamp.root < root.version) Refuse("timestamp of an older root.");
  if (timestamp.expires <= now) RefuseForClock("timestamp expired.", now, signed_at);
  if (timestamp.expires - now > kMaxTimestampLife + kClockSkew) {
    RefuseForClock("timestamp lives too long.", now, signed_at);
  }
  if (timestamp.release != release) Refuse("release is not the one the timestamp names.");
  return timestamp;
}

std::optional<Timestamp> ReadTimestamp(std::string_view document) {
  try {
    return ParseTimestamp(DocumentLines(SplitSignatures(document, kMaxTimestampSize).signed_part));
  } catch (const Exception&) {
    return std::nullopt;
  }
}
