#include "storage/image_files.h"

#include <optional>

#include "base/exception.h"
#include "base/relative_path.h"
#include "platform/file.h"
#include "platform/path.h"
#include "storage/folder_bounds.h"

namespace {

// What a walk of an image has found so far.
struct Listing {
  std::string image;
  std::optional<std::string> real_image;  // nothing when links may lead anywhere
  CaseFoldedPaths names;
  std::vector<std::tstring> files;
  std::string outside;  // the links that lead out of the image, by name
};

bool LeadsOutside(const Listing& listing, const std::tstring& path) {
  if (!listing.real_image) return false;
  const auto real = platform::RealPath(listing.image + "\\" + path);
  return !real || !IsAtOrBelow(*real, *listing.real_image);
}

void AddFolder(Listing& listing, const std::tstring& below) {
  const std::string folder = below.empty() ? listing.image : listing.image + "\\" + below;
  std::vector<platform::DirectoryItem> items;
  if (!platform::ListDirectory(folder, &items, true)) {
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
    if (item.is_link && LeadsOutside(listing, path)) {
      listing.outside += (listing.outside.empty() ? "" : ", ") + platform::ToNativePath(path);
      continue;
    }
    // A link to a folder is not entered: it may lead back up the tree.
    if (item.is_directory && item.is_link) continue;
    if (const auto earlier = listing.names.Add(path)) {
      throw Exception("file names differ only in letter case: " + platform::ToNativePath(*earlier) +
                          ", " + platform::ToNativePath(path),
                      true);
    }
    if (item.is_directory) {
      AddFolder(listing, path);
    } else {
      listing.files.push_back(path);
    }
  }
}

}  // namespace

std::vector<std::tstring> ListImageFiles(const std::string& folder, bool follow_links) {
  Listing listing{folder, follow_links ? std::nullopt : platform::RealPath(folder), {}, {}, {}};
  if (!follow_links && !listing.real_image) {
    throw Exception("cannot read " + platform::ToNativePath(folder), true);
  }
  AddFolder(listing, {});
  if (!listing.outside.empty()) {
    throw Exception("links lead outside the image: " + listing.outside +
                        " (--follow-links publishes what they lead to)",
                    true);
  }
  return listing.files;
}
