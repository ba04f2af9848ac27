// The one rule for paths relative to a folder: the file list's paths, the names inside packages,
// the files a release site serves. The updater installs, `vpk extract` writes and `varne-release`
// lists and serves exactly the paths this rule accepts.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The components of path, cut at every "\" and every "/" (both separate folders on Windows):
// "a\b/c" gives "a", "b", "c"; a leading, doubled or trailing separator gives an empty component,
// and "" gives one empty component. The views point into path.
std::vector<std::string_view> SplitPathComponents(std::string_view path);

// Why path cannot name a file strictly below the folder it is relative to, in its one spelling,
// on every system the game runs on; null when it can. Refused: an empty component (so no
// absolute, UNC or trailing-separator form), "." and ".."; a name Windows cannot hold, so that a
// release never lists a file that players on Windows cannot install: a control character (a line
// break would also end a list line), one of <>:"|?* (":" is also a drive prefix, a stream name
// and the list's field separator), a name ending in "." or " " (Windows drops those), and the
// device names CON, PRN, AUX, NUL, COM1-9 and LPT1-9 in any letter case, with any extension.
const char* RelativePathProblem(std::string_view path);
inline bool IsSafeRelativePath(std::string_view path) {
  return RelativePathProblem(path) == nullptr;
}

// Finds the paths of a set that name one file where letter case does not tell names apart, as on
// Windows ("A.txt" and "a.txt", also "d/x" and "D\x").
class CaseFoldedPaths {
 public:
  // Adds path; the earlier path that names the same file, if there is one.
  std::optional<std::string> Add(std::string_view path);

 private:
  std::unordered_map<std::string, std::string> by_folded_;  // by the path folded
};
