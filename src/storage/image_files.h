// The files of an install image (the folder a package or a release is made from), as a file list
// names them.
#pragma once

#include <string>
#include <vector>

#include "base/tstring.h"

// Every file below `folder` (internal form), by its path relative to it with backslashes, in the
// order the folders list them. Throws Exception, naming the files, when a name cannot be listed
// (see RelativePathProblem) or two names differ only in letter case: players on Windows could not
// install them, and a package keeps only one of them. Links that lead out of the folder are
// refused too, by name, unless `follow_links`: a stray one would publish that machine's files.
// Links to folders are never entered.
std::vector<std::tstring> ListImageFiles(const std::string& folder, bool follow_links = false);
