// A site's trust roots: "filelist.roots" holds every root the publisher made, oldest first, each
// signed by the keys of the root before and by its own, so that an install holding the old keys
// follows the rotation to the new ones. "filelist.timestamp" names the newest root and the current
// signature document, signed again at least daily with the root's timestamp key, so that a mirror
// cannot hold players on an old release for longer than that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "site/trust_root.h"

// The site's newest root, unverified (the publisher's own); version 0 when it has none. Throws
// DownloadManagerException when "filelist.roots" is damaged.
TrustRoot SiteRoot(const std::string& site);

// The private key text of a key file that holds the root's timestamp key. Throws Exception
// otherwise.
std::string TimestampKeyOf(const TrustRoot& root, const std::string& key_file);

struct RootRequest {
  std::string game;
  std::vector<std::string> key_files;
  std::size_t threshold = 1;
  std::string timestamp_key_file;
  std::vector<std::string> sign_files;  // keys of the root before, which a rotation needs
};

// The file a prepared root waits in, never served, until the build signed by its keys publishes it
// with the release, its signature and its timestamp: a root on the site before them would cut
// every player off ("timestamp of an older root.").
inline constexpr char kPendingRootName[] = "filelist.roots.pending";

// Prepares the site's next root (version 1 for its first), signed with every key file of the
// request, in kPendingRootName; returns it. The same request again, for the newest root or the one
// waiting, changes nothing. Throws Exception, having written nothing, when the game is not the
// roots' game, the threshold does not fit the keys, a change of root lacks --sign keys reaching the
// threshold of the root before, the new document is not signed by the threshold of the root before
// and of its own keys, or a first root's keys do not sign the site's current release.
TrustRoot PrepareRoot(const std::string& site, const RootRequest& request);
// The root waiting to be published; version 0 when none.
TrustRoot PendingRoot(const std::string& site);
// The roots document that publishes `root` when it is the one waiting: the published roots and
// it. Empty when `root` is published already.
std::string PublishedRoots(const std::string& site, const TrustRoot& root);

// The timestamp of a signature document under a root, valid until `expires`.
std::string TimestampDocument(const TrustRoot& root, const std::string& signature,
                              const std::string& timestamp_pem, std::int64_t expires);

// Signs "filelist.timestamp" again for the site's current signature and newest root, valid for
// `hours`, touches nothing else, and returns the release it names. Throws Exception when the site
// has no root or no signature, the release has expired, or the key is not the root's timestamp
// key.
ReleaseSignature RenewTimestamp(const std::string& site, const std::string& timestamp_key_file,
                                int hours, std::int64_t now);
