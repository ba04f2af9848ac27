// The release's "filelist.removed": what the release the site publishes now lists and the new one
// does not, with the entries the site's document already carried from the releases before, each
// one release older when the list changes. Kept for kRemovedKeptReleases releases.
#pragma once

#include <string>

#include "site/removed_files.h"

// site: the site folder, before any document of the build is written; list: the new list
// document. A file the new list names, in any letter case, is never among those removed. What the
// site holds that does not read (a damaged or foreign document) is passed over.
RemovedFiles RemovedSince(const std::string& site, const std::string& list);
