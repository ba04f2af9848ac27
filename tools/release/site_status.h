// What players would make of a site now and in the coming days: its release, timestamp and root
// read as an updater reads them, so that a publisher learns of an expiry before the players do.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A site's documents as a site folder or a server hands them out; nothing for one that is not
// there.
struct SiteDocuments {
  std::string list;
  std::optional<std::string> signature;
  std::optional<std::string> roots;
  std::optional<std::string> timestamp;
  // The next root, prepared in a site folder and not yet published; no server hands it out.
  std::optional<std::string> pending_roots = {};
  std::optional<std::string> mirrors = {};
};

// How long before an expiry the publisher is told: a weekly look, or a daily job, still sees it
// in time.
constexpr std::int64_t kExpiryWarning = 7 * 86400;

struct SiteStatus {
  std::vector<std::string> lines;  // release, timestamp, root and copies, one line each
  std::string refused_now;         // why players refuse the site at `now`; empty when they do not
  std::string refused_soon;        // why they will within kExpiryWarning; empty when they will not
};

// The copies a site names, as said on one line.
std::string CopiesLine(const std::vector<std::string>& urls);

// Judges the documents at `now`. Never throws: what cannot be read is a refusal.
SiteStatus JudgeSite(const SiteDocuments& documents, std::int64_t now);

// The documents of a site folder. Throws Exception when it holds no list.
SiteDocuments ReadSiteDocuments(const std::string& site);

// Prints the status and returns the exit status: 1 when players refuse the site now or soon.
// `copy` goes before each refusal, which is said on standard error apart from the other lines.
int PrintSiteStatus(const SiteStatus& status, bool quiet, const std::string& copy = "");
