#include "site_builder.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

#include "base/exception.h"
#include "base/relative_path.h"
#include "base/utf8string.h"
#include "nginx_config.h"
#include "platform/path.h"
#include "site_layout.h"
#include "storage/md5.h"
#include "storage/varne_file_system.h"
#include "update/release_protocol.h"

namespace fs = std::filesystem;

namespace {

struct ImageFile {
  std::tstring path;  // relative, with backslashes, as listed
  std::uint64_t size = 0;
  std::tstring md5;
  std::string package;  // relative to the site folder
};

std::vector<ImageFile> ScanImage(const fs::path& image) {
  std::vector<ImageFile> files;
  for (const auto& item : fs::recursive_directory_iterator(image)) {
    if (!item.is_regular_file()) continue;
    ImageFile file;
    const std::string relative = fs::relative(item.path(), image).generic_string();
    // A backslash inside a name here would be a folder separator to the updater; any other name
    // is listed exactly when the updater would install it.
    file.path = platform::ToInternalPath(relative);
    if (relative.find('\\') != std::string::npos || !IsSafeRelativePath(file.path)) {
      throw Exception("file name cannot be listed: " + relative, true);
    }
    file.size = item.file_size();
    file.md5 = DigestOfFile(platform::ToInternalPath(item.path().string()));
    if (file.md5.empty()) throw Exception("cannot read " + item.path().string(), true);
    const auto package = PackagePathForQueryValue(EncodePathForQuery(file.path));
    if (!package) throw Exception("path too long for a site: " + file.path, true);
    file.package = *package;
    files.push_back(std::move(file));
  }
  std::sort(files.begin(), files.end(),
            [](const ImageFile& a, const ImageFile& b) { return a.path < b.path; });
  return files;
}

// An existing package is kept when its entry for the file carries the file's digest.
bool PackageIsCurrent(const fs::path& package, const ImageFile& file) {
  if (!fs::is_regular_file(package)) return false;
  try {
    VarneFileSystem system;
    system.ReadPackage(platform::ToInternalPath(package.string()));
    FileInfoCellEx entry;
    if (!system.LookupEntry(file.path, &entry)) return false;
    MD5Bytes digest;
    std::copy(std::begin(entry.digest), std::end(entry.digest), digest.begin());
    return MD5Context::ToText(digest) == file.md5;
  } catch (const Exception&) {
    return false;
  }
}

void WritePackage(const fs::path& image, const fs::path& package, const ImageFile& file) {
  fs::remove(package);
  fs::create_directories(package.parent_path());
  VarneFileSystem system;
  const std::tstring base = platform::ToInternalPath(image.string());
  system.AddFile(base + "\\" + file.path, base);
  system.WritePackage(platform::ToInternalPath(package.string()), 1);
}

// Removes every file below the packages folder that no listed file uses, and emptied folders.
int RemoveStalePackages(const fs::path& packages, const std::set<fs::path>& keep) {
  if (!fs::is_directory(packages)) return 0;
  int removed = 0;
  std::vector<fs::path> folders;
  for (const auto& item : fs::recursive_directory_iterator(packages)) {
    if (item.is_directory()) {
      folders.push_back(item.path());
    } else if (!keep.count(item.path())) {
      removed += fs::remove(item.path()) ? 1 : 0;
    }
  }
  // Deepest first, so a folder is looked at after its sub-folders went.
  std::sort(folders.rbegin(), folders.rend());
  for (const auto& folder : folders) {
    if (fs::is_empty(folder)) fs::remove(folder);
  }
  return removed;
}

std::string ListDocument(const std::vector<ImageFile>& files) {
  std::tstring text;
  for (const ImageFile& file : files) {
    text += "1::" + file.path + ":" + std::to_string(file.size) + ":" + file.md5 + "\r\n";
  }
  if (text.empty()) return {};
  utf8string utf8;
  utf8.SetString(text);
  return std::string(utf8.GetData(), utf8.GetSize() - 1);
}

}  // namespace

// Replaces a site file as a whole: written beside it, then renamed over it.
void WriteSiteFile(const fs::path& path, const std::string& bytes) {
  const fs::path temporary = path.string() + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw Exception("cannot write " + temporary.string(), true);
  }
  fs::rename(temporary, path);
}

SiteSummary BuildSite(const std::string& image, const std::string& site,
                      const SiteOptions& options) {
  const fs::path image_folder = fs::absolute(image).lexically_normal();
  const fs::path site_folder = fs::absolute(site).lexically_normal();
  if (!fs::is_directory(image_folder)) throw Exception("not a folder: " + image, true);
  const std::vector<ImageFile> files = ScanImage(image_folder);
  fs::create_directories(site_folder / kSitePackagesFolder);

  SiteSummary summary;
  std::set<fs::path> keep;
  for (const ImageFile& file : files) {
    const fs::path package = site_folder / file.package;
    keep.insert(package);
    summary.bytes += file.size;
    if (PackageIsCurrent(package, file)) {
      ++summary.packages_kept;
      continue;
    }
    WritePackage(image_folder, package, file);
    ++summary.packages_written;
  }
  summary.files = static_cast<int>(files.size());
  summary.packages_removed = RemoveStalePackages(site_folder / kSitePackagesFolder, keep);

  std::string folder = site_folder.string();
  if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  WriteSiteFile(site_folder / kSiteNginxName,
                MakeNginxServerBlock(options.listen, options.list_path, folder));
  WriteSiteFile(site_folder / kSiteSettingsName,
                "listen=" + options.listen + "\r\npath=" + options.list_path + "\r\n");
  WriteSiteFile(site_folder / kSiteListName, ListDocument(files));
  return summary;
}
