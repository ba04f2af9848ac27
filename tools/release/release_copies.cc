#include "release_copies.h"

#include <cstdio>

#include "base/exception.h"
#include "base/hex.h"

namespace {

std::string CopyName(std::size_t index) { return "copy " + std::to_string(index + 1); }

// "serial 5, list 1a2b3c4d5e6f": enough of the list's digest to tell two lists apart by eye.
std::string ReleaseText(const ReleaseIdentity& release) {
  return (release.serial == 0 ? std::string("unsigned")
                              : "serial " + std::to_string(release.serial)) +
         ", list " + EncodeHex(release.list.sha256).substr(0, 12);
}

// The copy serving the newest release read: the highest serial, the first of equals. Unsigned
// releases have no order, so among them the first copy read stands.
std::size_t NewestCopy(const std::vector<std::optional<ReleaseIdentity>>& releases) {
  std::optional<std::size_t> newest;
  for (std::size_t i = 0; i < releases.size(); ++i) {
    if (releases[i] && (!newest || releases[i]->serial > releases[*newest]->serial)) newest = i;
  }
  return newest.value_or(0);
}

// Names on standard error each copy read that does not serve the newest release; true when any.
bool SayNotNewest(const std::vector<std::optional<ReleaseIdentity>>& releases) {
  const std::size_t newest = NewestCopy(releases);
  std::fflush(stdout);
  bool any = false;
  for (std::size_t i = 0; i < releases.size(); ++i) {
    if (!releases[i] || *releases[i] == *releases[newest]) continue;
    std::fprintf(stderr, "%s: not the newest release seen, %s's (%s)\n", CopyName(i).c_str(),
                 CopyName(newest).c_str(), ReleaseText(*releases[newest]).c_str());
    any = true;
  }
  return any;
}

}  // namespace

ReleaseIdentity IdentityOf(const ListDigest& list, const std::optional<std::string>& signature) {
  const std::optional<ReleaseSignature> release =
      signature ? ReadRelease(*signature) : std::nullopt;
  return {list, release ? release->serial : 0};
}

std::string Likeness(const ReleaseIdentity& release, const ReleaseIdentity& first,
                     std::size_t first_copy) {
  const std::string first_name = CopyName(first_copy);
  if (release == first) return "the same release as " + first_name;
  const char* words = "a different release from ";
  if (release.serial != 0 && first.serial != 0 && release.serial != first.serial) {
    words = release.serial < first.serial ? "an older release than " : "a newer release than ";
  }
  return words + first_name + " (" + ReleaseText(release) + " against " + ReleaseText(first) + ")";
}

int PrintCopiesStatus(const std::vector<std::string>& copies,
                      const std::function<SiteDocuments(const std::string&)>& read,
                      std::int64_t now, bool quiet) {
  std::vector<std::optional<ReleaseIdentity>> releases(copies.size());
  std::optional<std::size_t> first;
  int status = 0;
  for (std::size_t i = 0; i < copies.size(); ++i) {
    const std::string name = CopyName(i);
    if (!quiet) std::printf("%s: %s\n", name.c_str(), copies[i].c_str());
    std::fflush(stdout);  // each copy's lines stay under its name where both streams meet
    try {
      const SiteDocuments documents = read(copies[i]);
      releases[i] = IdentityOf({documents.list.size(), platform::Sha256Of(documents.list)},
                               documents.signature);
      status |= PrintSiteStatus(JudgeSite(documents, now), quiet, name + ": ");
    } catch (const Exception& failure) {
      std::fprintf(stderr, "%s: unreachable: %s\n", name.c_str(), failure.GetText().c_str());
      status = 1;
      continue;
    }
    if (!first) {
      first = i;
    } else if (!quiet) {
      std::printf("%s: %s\n", name.c_str(),
                  Likeness(*releases[i], *releases[*first], *first).c_str());
    }
  }
  return SayNotNewest(releases) ? 1 : status;
}
