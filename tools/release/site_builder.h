// Builds a release site from an install image: the list document, one scrambled one-entry package
// per file, the files' block data and the site's settings and nginx configuration. Each file is
// read once, for its MD5 and its block data together. Rebuilding keeps the packages of
// unchanged files and removes those of files no longer listed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

struct SiteOptions {
  std::string listen = "127.0.0.1:8080";
  std::string list_path = "/filelist";
  bool blocks = true;  // block data beside the list; without, stale block files are removed
};

struct SiteSummary {
  int files = 0;
  int packages_written = 0;
  int packages_kept = 0;
  int packages_removed = 0;
  std::uint64_t bytes = 0;
  std::uint64_t block_bytes = 0;  // of "<list>.blocks" and "<list>.fine" together
};

// Folders in the system's form. Throws Exception on failure; the list is written last, so a failed
// build never announces packages that are not there, and block data is bound to the list it was
// written for.
SiteSummary BuildSite(const std::string& image, const std::string& site,
                      const SiteOptions& options);

// Replaces a site file as a whole: written beside it, then renamed over it. Throws Exception.
void WriteSiteFile(const std::filesystem::path& path, const std::string& bytes);
