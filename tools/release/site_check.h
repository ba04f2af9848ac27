// varne-release check: a deployed site read as players' updaters read it. The one command of the
// release tool that runs the update engine itself rather than the site's documents alone.
#pragma once

#include <string>
#include <vector>

#include "site_status.h"

// Fetches the list at list_url and prints its files and bytes (unless quiet), then asks for the
// start of every package side by side and names each one that players could not take (none there,
// or not the package of its list line). With a public key, or `deep`, also installs every file
// into a scratch folder as an updater does, checking each one (with a key, the signed release is
// verified first, following the site's roots). Returns the exit status; throws Exception when the
// list cannot be had.
int CheckSite(const std::string& list_url, const std::string& public_key, bool deep, bool quiet);

// Checks several copies of a site (mirrors), each under a line naming it: reads each copy's list
// (with a public key, verifying its release), asks for the start of each of its packages, and ends
// with one line per copy saying whether it serves the release of the first copy read and whether
// players can fetch every package. Only the first copy is installed into a scratch folder (with a
// key or `deep`). Returns 1 when any copy cannot be read, serves another release or lacks a
// package; a copy that cannot be read is said, not thrown.
int CheckCopies(const std::vector<std::string>& list_urls, const std::string& public_key, bool deep,
                bool quiet);

// The documents a site serves beside the list at list_url, as players fetch them; a document the
// server does not hand out is none. Throws the list's failure.
SiteDocuments FetchSiteDocuments(const std::string& list_url);
