#include "update/file_list.h"

#include <array>

#include "base/exception.h"

namespace {

// Cuts one list line into its five fields; the fifth is the rest of the line, colons included.
std::array<std::tstring, 5> SplitLine(std::tstring line) {
  std::array<std::tstring, 5> fields;
  for (size_t i = 0; i < 4; ++i) std::tstring::GetSplit(line, ":", fields[i]);
  fields[4] = line;
  return fields;
}

}  // namespace

bool IsPathInsideInstallFolder(const std::tstring& path) {
  std::tstring rest(path);
  rest.ToBackslashes();
  if (rest.empty() || rest.front() == '\\' || rest.find(':') != std::tstring::npos) return false;
  std::tstring component;
  while (std::tstring::GetSplit(rest, "\\", component)) {
    if (component == "..") return false;
  }
  return true;
}

void ParseFileList(std::tstring text, FileList& list) {
  FileList parsed;
  std::tstring line;
  while (std::tstring::GetLine(text, line)) {
    const auto fields = SplitLine(line);
    const bool complete = !fields[0].empty() && !fields[2].empty() && !fields[3].empty() &&
                          !fields[4].empty();
    if (!complete || !IsPathInsideInstallFolder(fields[2])) {
      throw DownloadManagerException("List file error.", true);
    }
    parsed.push_back({fields[2], fields[3], fields[4]});
  }
  list.insert(list.end(), parsed.begin(), parsed.end());
}
