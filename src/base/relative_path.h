// The one rule for paths relative to a folder: the file list's paths, the names inside packages,
// the files a release site serves. The updater installs, `vpk extract` writes and `varne-release`
// lists and serves exactly the paths this rule accepts.
#pragma once

#include <string_view>
#include <vector>

// The components of path, cut at every "\" and every "/" (both separate folders on Windows):
// "a\b/c" gives "a", "b", "c"; a leading, doubled or trailing separator gives an empty component,
// and "" gives one empty component. The views point into path.
std::vector<std::string_view> SplitPathComponents(std::string_view path);

// True when path names a file strictly below the folder it is relative to, and in its one
// spelling: every component is non-empty (so no absolute, UNC or trailing-separator form) and is
// neither "." nor ".."; no ":" anywhere (a drive prefix or a stream name; it also separates the
// list's fields); no control character (no system name holds one, and a line break would end a
// list line).
bool IsSafeRelativePath(std::string_view path);
