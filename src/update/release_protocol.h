// The update server's protocol as both the updater and the release tool speak it: the list
// document and the signed release beside it, the query that names a file's package, and the proxy
// a request goes through.
#pragma once

#include <cstdint>
#include <vector>

#include "base/tstring.h"
#include "net/http_client.h"
#include "site/file_list.h"
#include "site/release_signature.h"
#include "site/release_state.h"
#include "site/removed_files.h"
#include "site/trust_root.h"

// Points the client at the proxy that "RV7.conf" and the user's settings choose.
void UseConfiguredProxy(HttpClient& client);

// How many files a run downloads side by side and the most bytes per second it receives: the
// publisher's "serverside_connections" (1 to 32) and "serverside_ratelimit" in the game's
// "dlgconfig.conf", and the player's "DownloadRateLimit" in "RV7.conf"; of two caps the lower
// holds, and 0 is none. A setting that cannot be read keeps its default.
struct TransferLimits {
  int transfers = 16;
  std::uint64_t rate_cap = 0;
};
TransferLimits ConfiguredLimits();
// The list URLs of the site's mirrors that "dlgconfig.conf" names in "serverside_mirrors"
// (separated by spaces or commas), in order; none when it names none or cannot be read.
std::vector<std::tstring> ConfiguredMirrors();

// Fetches the list document at url and appends its entries to list; returns what arrived.
ListDigest FetchFileList(HttpClient& client, const std::tstring& url, FileList& list);

// Fetches a signature document of at most limit bytes whole. Throws the transfer's failure, and
// DownloadManagerException for a longer document.
std::string FetchSignatureDocument(HttpClient& client, const std::tstring& url, std::size_t limit);

// A release as its keys vouch for it, and the root that vouches for the keys.
struct TrustedRelease {
  TrustRoot root;
  ReleaseSignature release;
};

// Fetches the list document at list_url and its release: follows the site's root documents from
// the install's root (or, before it has one, from the configured keys), then fetches the release's
// signature document beside the list (its URL with ".sig" appended) and, under a root document, the
// timestamp naming it; verifies both and checks the release with CheckRelease against the list, the
// clock and the install's serial, which a newer root resets. `list` takes the list's entries once
// they verify. The publisher switches the list, the roots, the signature and the timestamp by
// renames back to back, so a read may meet some documents of one release and some of the next: a
// set whose documents name one another otherwise (a signature over another list, a timestamp of
// another root or of another signature) is read again, a few times at most and after a short pause
// that grows, and the set finally read is checked in full. Throws DownloadManagerException;
// "signature missing : ..." when the document cannot be had. An abort stays the client's "Abort by
// User.".
struct SignedList {
  ListDigest list;
  TrustedRelease trusted;
};
SignedList FetchSignedList(HttpClient& client, const std::tstring& list_url, FileList& list,
                           const InstallState& state, const KeySet& configured);

// The other copies of the site its publisher names beside the list, signed by the keys and for the
// list given (none: for whatever list); none when the site names none, or when the document
// cannot be had or does not verify: a copy can add no copies of its own. An abort stays the
// client's.
std::vector<std::tstring> FetchPublishedCopies(HttpClient& client, const std::tstring& list_url,
                                               const KeySet& keys,
                                               const std::optional<ListDigest>& list);

// The files earlier releases listed and this one does not, as the site publishes them beside the
// list, bound to the list given; under a key (keys not null) only when that key set signed them.
// None when the site has no such document (an older release tool) or it cannot be had, does not
// verify or goes with another list: a run without it removes nothing and copies only what its own
// list names. An abort stays the client's.
std::optional<RemovedFiles> FetchRemovedFiles(HttpClient& client, const std::tstring& list_url,
                                              const KeySet* keys, const ListDigest& list);
