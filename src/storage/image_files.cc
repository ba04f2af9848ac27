#include "storage/image_files.h"

#include "base/exception.h"
#include "base/relative_path.h"
#include "platform/file.h"
#include "platform/path.h"

namespace {

void AddFolder(const std::string& image, const std::tstring& below, CaseFoldedPaths& names,
               std::vector<std::tstring>& files) {
  const std::string folder = below.empty() ? image : image + "\\" + below;
  std::vector<platform::DirectoryItem> items;
  if (!platform::ListDirectory(folder, &items)) {
    throw Exception("cannot read " + platform::ToNativePath(folder), true);
  }
  for (const platform::DirectoryItem& item : items) {
    const std::tstring path = below.empty() ? std::tstring(item.name) : below + "\\" + item.name;
    // A backslash inside a name would be a folder separator to the updater.
    const char* problem = item.name.find('\\') != std::string::npos ? "a backslash in a name"
                                                                    : RelativePathProblem(path);
    if (problem != nullptr) {
      throw Exception("file name cannot be listed (" + std::string(problem) +
                          "): " + platform::ToNativePath(path),
                      true);
    }
    if (const auto earlier = names.Add(path)) {
      throw Exception("file names differ only in letter case: " + platform::ToNativePath(*earlier) +
                          ", " + platform::ToNativePath(path),
                      true);
    }
    if (item.is_directory) {
      AddFolder(image, path, names, files);
    } else {
      files.push_back(path);
    }
  }
}

}  // namespace

std::vector<std::tstring> ListImageFiles(const std::string& folder) {
  CaseFoldedPaths names;
  std::vector<std::tstring> files;
  AddFolder(folder, {}, names, files);
  return files;
}
