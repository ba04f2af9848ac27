#include "site_files.h"

#include <fstream>

#include "base/exception.h"
#include "platform/file.h"
#include "platform/path.h"

namespace fs = std::filesystem;

std::optional<std::string> ReadSiteFile(const std::string& site, const std::string& name) {
  return platform::ReadWholeFile(
      platform::ToInternalPath(platform::FilesystemPathText(SitePath(site, name))));
}

fs::path SitePath(const std::string& site, const std::string& name) {
  return platform::ToFilesystemPath(site) / name;
}

fs::path StageSiteFile(const fs::path& path, const std::string& bytes) {
  fs::path temporary = path;
  temporary += ".new";
  std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) {
    throw Exception("cannot write " + platform::FilesystemPathText(temporary), true);
  }
  return temporary;
}

void WriteSiteFile(const fs::path& path, const std::string& bytes) {
  fs::rename(StageSiteFile(path, bytes), path);
}

SiteLock::SiteLock(const std::string& site) {
  const std::string folder = platform::GetFullPath(platform::ToInternalPath(site));
  if (mutex_.Create("varne-release site " + folder) != platform::NamedMutex::kExists) return;
  throw Exception("another varne-release (process " + std::to_string(mutex_.HolderProcessId()) +
                      ") is writing this site; run again when it has ended: " + site,
                  true);
}
