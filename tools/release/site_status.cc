#include "site_status.h"

#include <cstdio>

#include "base/exception.h"
#include "base/utf8string.h"
#include "site/file_list.h"
#include "site/mirror_list.h"
#include "site/release_signature.h"
#include "site/site_names.h"
#include "site/trust_root.h"
#include "site_files.h"
#include "site_roots.h"

namespace {

// The list as updaters read it: its digest and how many entries it has.
std::size_t ListEntries(const std::string& document) {
  utf8string text;
  text.SetUtf8Data(document.data(), static_cast<std::uint32_t>(document.size()));
  FileList list;
  ParseFileList(text.GetString(), list);
  return list.size();
}

std::string Days(std::int64_t seconds) {
  if (seconds <= 0) return "past";
  return seconds >= 86400 ? "in " + std::to_string(seconds / 86400) + " days"
                          : "in " + std::to_string(seconds / 3600) + " hours";
}

std::string RootSummary(const TrustRoot& root) {
  return "version " + std::to_string(root.version) + ", " + std::to_string(root.keys.threshold) +
         " of " + std::to_string(root.keys.keys.size()) + " keys, game " + root.game;
}

// The root that `root` prepared and the next build signed by its keys publishes: players do not
// see it yet, and judge the site without it.
void ShowPendingRoot(const SiteDocuments& documents, SiteStatus& status) {
  if (!documents.pending_roots) return;
  try {
    const TrustRoot pending = NewestRoot(*documents.pending_roots);
    if (pending.version != NewestRoot(documents.roots.value_or("")).version + 1) return;
    status.lines.push_back("pending root: " + RootSummary(pending) +
                           ", not published yet (the next build signed by its keys publishes it)");
  } catch (const Exception& failure) {
    status.lines.push_back("pending root: unreadable, " + failure.GetText());
  }
}

// The checks an install that follows the site's newest root makes, in its order; fills `status`.
void JudgeSigned(const SiteDocuments& documents, std::int64_t now, SiteStatus& status) {
  const TrustRoot root = NewestRoot(documents.roots.value_or(""));
  const ListDigest list{documents.list.size(), platform::Sha256Of(documents.list)};
  if (!documents.signature) {
    status.lines.push_back("release: unsigned, " + std::to_string(ListEntries(documents.list)) +
                           " files");
    if (root.version > 0) status.refused_now = "the site has a trust root but no signature";
    return;
  }
  const std::optional<ReleaseSignature> release = ReadRelease(*documents.signature);
  if (!release) throw DownloadManagerException("signature document is malformed.", true);
  status.lines.push_back("release: serial " + std::to_string(release->serial) + ", " +
                         std::to_string(release->files.size()) + " files, expires " +
                         UtcText(release->expires) + " (" + Days(release->expires - now) + ")");
  if (root.version > 0) {
    status.lines.push_back("root: " + RootSummary(root));
    const std::optional<Timestamp> timestamp = ReadTimestamp(documents.timestamp.value_or(""));
    status.lines.push_back(timestamp ? "timestamp: root " + std::to_string(timestamp->root) +
                                           ", expires " + UtcText(timestamp->expires) + " (" +
                                           Days(timestamp->expires - now) + ")"
                                     : "timestamp: none");
    VerifyRelease(*documents.signature, root.keys);
    if (!documents.timestamp) throw DownloadManagerException("timestamp missing.", true);
    const std::string& signature = *documents.signature;
    CheckTimestamp(*documents.timestamp, root, {signature.size(), platform::Sha256Of(signature)},
                   now);
  }
  CheckRelease(*release, list, ListEntries(documents.list), now, 0);
  if (release->expires - now <= kExpiryWarning) {
    status.refused_soon = "the release expires " + UtcText(release->expires) +
                          ": sign it again (varne-release build --sign) before then";
  }
}

// The copies the document names for the list. Under a root, as the installs that follow it verify
// them; without, no key is known here, and the publisher's own document is read as it stands.
std::vector<std::string> CopiesNamed(const SiteDocuments& documents) {
  const ListDigest list{documents.list.size(), platform::Sha256Of(documents.list)};
  const TrustRoot root = NewestRoot(documents.roots.value_or(""));
  if (root.version > 0) return VerifyMirrorList(*documents.mirrors, root.keys, list);
  const SignedDocument document = SplitSignatures(*documents.mirrors, kMaxMirrorListSize);
  const std::vector<std::string_view> lines = DocumentLines(document.signed_part);
  if (lines.size() < 2 || !(SizeAndDigestOf(lines[1], "list") == list)) {
    throw DownloadManagerException("mirror list is of another release.", true);
  }
  std::vector<std::string> urls;
  for (std::size_t i = 2; i < lines.size(); ++i) urls.emplace_back(ValueOf(lines[i], "mirror"));
  return urls;
}

// Players who cannot follow the copies still take the release from the site itself, so a list of
// copies they refuse is said, not a refusal of the site.
void ShowCopies(const SiteDocuments& documents, SiteStatus& status) {
  if (!documents.mirrors) return;
  try {
    status.lines.push_back(CopiesLine(CopiesNamed(documents)));
  } catch (const Exception& failure) {
    status.lines.push_back("copies: none that players follow, " + failure.GetText());
  }
}

}  // namespace

std::string CopiesLine(const std::vector<std::string>& urls) {
  std::string line = "copies:";
  for (const std::string& url : urls) line += " " + url;
  return line;
}

SiteStatus JudgeSite(const SiteDocuments& documents, std::int64_t now) {
  SiteStatus status;
  try {
    JudgeSigned(documents, now, status);
  } catch (const Exception& failure) {
    status.refused_now = failure.GetText();
  }
  ShowCopies(documents, status);
  ShowPendingRoot(documents, status);
  return status;
}

SiteDocuments ReadSiteDocuments(const std::string& site) {
  std::optional<std::string> list = ReadSiteFile(site, kSiteListName);
  if (!list) throw Exception("no list in " + site + " (varne-release build makes one)", true);
  return {std::move(*list),
          ReadSiteFile(site, SiteFileName(BesideList::kSignature)),
          ReadSiteFile(site, SiteFileName(BesideList::kRoots)),
          ReadSiteFile(site, SiteFileName(BesideList::kTimestamp)),
          ReadSiteFile(site, kPendingRootName),
          ReadSiteFile(site, SiteFileName(BesideList::kMirrors))};
}

int PrintSiteStatus(const SiteStatus& status, bool quiet, const std::string& copy) {
  if (!quiet) {
    for (const std::string& line : status.lines) std::printf("%s\n", line.c_str());
  }
  std::fflush(stdout);  // a refusal follows the lines it concerns, also where both streams meet
  if (!status.refused_now.empty()) {
    std::fprintf(stderr, "%splayers refuse the site now: %s\n", copy.c_str(),
                 status.refused_now.c_str());
    return 1;
  }
  if (!status.refused_soon.empty()) {
    std::fprintf(stderr, "%splayers refuse the site within 7 days: %s\n", copy.c_str(),
                 status.refused_soon.c_str());
    return 1;
  }
  if (!quiet) std::printf("players accept the site\n");
  return 0;
}
