#include "site_roots.h"

#include <algorithm>
#include <filesystem>

#include "base/exception.h"
#include "key_files.h"
#include "platform/file.h"
#include "platform/path.h"
#include "site/release_signature.h"
#include "site/site_names.h"
#include "site_files.h"

namespace fs = std::filesystem;

namespace {

// The keys that sign a new root, each once: the same key given with --key and --sign signs once.
std::vector<std::string> SigningKeys(const RootRequest& request) {
  std::vector<std::string> pems;
  std::vector<std::vector<std::uint8_t>> seen;
  for (const auto* files : {&request.key_files, &request.sign_files}) {
    for (const std::string& file : *files) {
      platform::P256Key key = ReadKeyFile(file);
      if (std::find(seen.begin(), seen.end(), key.public_key) != seen.end()) continue;
      seen.push_back(std::move(key.public_key));
      pems.push_back(std::move(key.private_pem));
    }
  }
  return pems;
}

// The root after `previous` as the request describes it, checked as an updater would read it.
TrustRoot NextRoot(const TrustRoot& previous, const RootRequest& request) {
  TrustRoot root{previous.version + 1,
                 request.game,
                 {request.threshold, {}},
                 ReadKeyFile(request.timestamp_key_file).public_key};
  for (const std::string& file : request.key_files) {
    root.keys.keys.push_back(ReadKeyFile(file).public_key);
  }
  if (previous.version > 0 && root.game != previous.game) {
    throw Exception(
        "the site's roots are for the game \"" + previous.game + "\", not \"" + root.game + "\"",
        true);
  }
  if (root.keys.threshold == 0 || root.keys.threshold > root.keys.keys.size()) {
    throw Exception("--threshold takes 1 to the number of --key files (" +
                        std::to_string(root.keys.keys.size()) + ")",
                    true);
  }
  try {
    ParseRoot(RootText(root));
  } catch (const Exception&) {
    throw Exception(
        "not a root that updaters read: the game id takes 1 to 64 letters, digits, "
        "'-', '_' or '.', and a root holds each key once, at most 16",
        true);
  }
  return root;
}

std::string RotationNeeds(const TrustRoot& previous) {
  return "root " + std::to_string(previous.version + 1) + " needs the signatures of " +
         std::to_string(previous.keys.threshold) + " keys of root " +
         std::to_string(previous.version) +
         ", which installs trust now: give their key files with --sign";
}

// The checks an install makes before it follows the new root, made before it is published.
void CheckRootSignatures(const std::string& document, const TrustRoot& previous,
                         const TrustRoot& root) {
  const SignedDocument split = SplitSignatures(document, kMaxRootsSize);
  if (previous.version > 0 && !SignedBy(split, previous.keys)) {
    throw Exception(RotationNeeds(previous), true);
  }
  if (!SignedBy(split, root.keys)) {
    throw Exception("root " + std::to_string(root.version) + " is not signed by " +
                        std::to_string(root.keys.threshold) + " of its own keys",
                    true);
  }
}

// Installs start from the root whose keys their configuration names exactly. A site that already
// publishes a signed release has players whose keys signed it: a first root that those keys do not
// sign for is one that no install can follow, and each would refuse the next release.
void CheckFirstRoot(const std::string& site, const TrustRoot& root) {
  const std::optional<std::string> signature =
      ReadSiteFile(site, SiteFileName(BesideList::kSignature));
  if (root.version != 1 || !signature) return;
  try {
    VerifyRelease(*signature, root.keys);
  } catch (const Exception&) {
    throw Exception(
        "the site's release is signed by keys that this first root does not hold: installs "
        "configured with those keys cannot follow it. Make the first root with exactly the keys "
        "of the players' serverside_publickey (--key and --threshold as that value names them), "
        "then move to new keys with the next root",
        true);
  }
}

}  // namespace

TrustRoot SiteRoot(const std::string& site) {
  return NewestRoot(ReadSiteFile(site, SiteFileName(BesideList::kRoots)).value_or(""));
}

std::string TimestampKeyOf(const TrustRoot& root, const std::string& key_file) {
  if (key_file.empty()) {
    throw Exception("the site has a trust root: sign with --timestamp-key, its timestamp key",
                    true);
  }
  platform::P256Key key = ReadKeyFile(key_file);
  if (key.public_key != root.timestamp_key) {
    throw Exception(
        "not the timestamp key of root " + std::to_string(root.version) + ": " + key_file, true);
  }
  return std::move(key.private_pem);
}

TrustRoot PendingRoot(const std::string& site) {
  const TrustRoot pending = NewestRoot(ReadSiteFile(site, kPendingRootName).value_or(""));
  // Only the root after the published one can wait: any other was left by hand, and is ignored.
  return pending.version == SiteRoot(site).version + 1 ? pending : TrustRoot{};
}

std::string PublishedRoots(const std::string& site, const TrustRoot& root) {
  const std::string roots = ReadSiteFile(site, SiteFileName(BesideList::kRoots)).value_or("");
  if (root.version <= NewestRoot(roots).version) return {};
  return roots + ReadSiteFile(site, kPendingRootName).value_or("");
}

TrustRoot PrepareRoot(const std::string& site, const RootRequest& request) {
  const std::string roots = ReadSiteFile(site, SiteFileName(BesideList::kRoots)).value_or("");
  const TrustRoot previous = NewestRoot(roots);
  const TrustRoot root = NextRoot(previous, request);
  // The same request again changes nothing: the root is published already, or waits.
  const auto same = [&root](TrustRoot other) {
    other.version = root.version;
    return other == root;
  };
  if (previous.version > 0 && same(previous)) return previous;
  if (const TrustRoot pending = PendingRoot(site); pending.version > 0 && same(pending)) {
    return pending;
  }
  CheckFirstRoot(site, root);
  // Any change of keys or threshold is the old root's to allow, even when the new keys overlap
  // the old ones enough to sign for them: the publisher says so with --sign.
  RootRequest signers;
  signers.sign_files = request.sign_files;
  if (previous.version > 0 &&
      KeysHeld(previous.keys, SigningKeys(signers)) < previous.keys.threshold) {
    throw Exception(RotationNeeds(previous), true);
  }
  const std::string document = SignRoot(root, SigningKeys(request));
  CheckRootSignatures(document, previous, root);
  if (roots.size() + document.size() > kMaxRootsSize) {
    throw Exception("the site's roots would grow past what updaters read", true);
  }
  fs::create_directories(platform::ToFilesystemPath(site));
  WriteSiteFile(SitePath(site, kPendingRootName), document);
  return root;
}

std::string TimestampDocument(const TrustRoot& root, const std::string& signature,
                              const std::string& timestamp_pem, std::int64_t expires) {
  return SignTimestamp(
      {root.game, root.version, expires, {signature.size(), platform::Sha256Of(signature)}},
      timestamp_pem);
}

ReleaseSignature RenewTimestamp(const std::string& site, const std::string& timestamp_key_file,
                                int hours, std::int64_t now) {
  const TrustRoot root = SiteRoot(site);
  if (root.version == 0) {
    throw Exception("the site has no trust root (varne-release root makes one)", true);
  }
  const std::string pem = TimestampKeyOf(root, timestamp_key_file);
  const std::optional<std::string> signature =
      ReadSiteFile(site, SiteFileName(BesideList::kSignature));
  if (!signature) throw Exception("the site has no signed release: build it with --sign", true);
  ReleaseSignature release;
  try {
    release = VerifyRelease(*signature, root.keys);
  } catch (const Exception&) {
    // A timestamp would only send players to a release that their new root refuses.
    throw Exception("the site's release is not signed by the keys of root " +
                        std::to_string(root.version) + ": build it again with them first",
                    true);
  }
  // A timestamp of an expired release keeps nobody updating: the job that signs it must fail, so
  // that whoever watches it learns that players are refused.
  if (release.expires <= now) {
    throw Exception("the site's release expired " + UtcText(release.expires) +
                        ": every player refuses it; build it again with --sign",
                    true);
  }
  WriteSiteFile(SitePath(site, SiteFileName(BesideList::kTimestamp)),
                TimestampDocument(root, *signature, pem, now + std::int64_t{hours} * 3600));
  return release;
}
