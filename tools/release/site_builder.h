// Builds a release site from an install image: the list document, one scrambled one-entry package
// per file, the files' block data, the signatures and the site's settings and nginx
// configuration. Each file is read once, for its MD5 and its block data together. Rebuilding keeps
// the packages of unchanged files, and a site being served stays whole throughout: players see
// the release before or the one after, never a mix of both.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/progress_line.h"
#include "release_changes.h"
#include "site_signer.h"

struct SiteOptions {
  std::string listen = "127.0.0.1:8080";
  std::string list_path = "/filelist";
  bool blocks = true;         // block data beside the list; without, stale block files are removed
  bool follow_links = false;  // publishes what links lead to outside the image
  // The site's copies, remembered in its settings for the next build; a signed build publishes
  // them (the sign function signs them, from its own plan), an unsigned one names none.
  std::vector<std::string> mirrors;
  // Signs the list, the block index (empty without block data) and the removed files' document
  // before anything of the build is written; without, the site is unsigned, a signature of an
  // earlier build is removed and the removed files' document is published unsigned.
  std::function<SiteSignatures(const std::string& list, const std::string& blocks,
                               const std::string& removed)>
      sign;
  // Told, file by file, how far the reading of the image and then the writing of packages stand,
  // and which file is at work.
  std::function<void(const ProgressFigures& figures, const std::string& text)> progress;
};

struct SiteSummary {
  int files = 0;
  int packages_written = 0;
  int packages_kept = 0;
  int packages_removed = 0;
  std::uint64_t bytes = 0;
  std::uint64_t block_bytes = 0;    // of "<list>.blocks" and "<list>.fine" together
  std::uint64_t serial = 0;         // of the signature; 0 when unsigned
  std::uint64_t package_bytes = 0;  // of the packages written
  ReleaseChanges changes;           // against the release the site published before
  int removed_named = 0;  // files "filelist.removed" names, of this release and those before
};

// Folders in the system's form. Throws Exception on failure; the documents are switched last, so a
// failed build leaves the release before in place. Packages of files no longer listed go at the
// build after the one that stopped listing them.
SiteSummary BuildSite(const std::string& image, const std::string& site,
                      const SiteOptions& options);

// The copies the site's last build remembered in its settings; none when it names none.
std::vector<std::string> RememberedMirrors(const std::string& site);
