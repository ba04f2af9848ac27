// Copies of one site (mirrors): the same documents and packages under other list URLs. What tells
// their releases apart, and the status of every copy judged beside the others.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "site/release_signature.h"
#include "site_status.h"

// What one release is, as far as a copy of the site can tell it apart from another: the exact list
// document, and the serial of the signed release beside it.
struct ReleaseIdentity {
  ListDigest list;
  std::uint64_t serial = 0;  // 0: unsigned, or a signature document that cannot be read

  bool operator==(const ReleaseIdentity&) const = default;
};

// The release of a list and the signature document beside it (unverified: the serial it says).
ReleaseIdentity IdentityOf(const ListDigest& list, const std::optional<std::string>& signature);

// How `release` stands beside `first`, the release of the copy at index `first_copy`, in words: the
// same, older, newer (both signed, by serial) or different, naming both.
std::string Likeness(const ReleaseIdentity& release, const ReleaseIdentity& first,
                     std::size_t first_copy);

// Judges each copy (a site folder or a list URL) as `status` judges one site, under a line naming
// it, and says for each after the first it read whether it serves that one's release. `read` gives
// a copy's documents or throws Exception with the words to print. Returns the exit status: 1 when
// a copy cannot be read, players refuse one now or soon, or one does not serve the newest release
// seen (the highest serial; among unsigned copies, the first's).
int PrintCopiesStatus(const std::vector<std::string>& copies,
                      const std::function<SiteDocuments(const std::string&)>& read,
                      std::int64_t now, bool quiet);
