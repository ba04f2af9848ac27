// The files of a site folder as the release tool reads and replaces them. A file is replaced whole:
// written beside its name first, then renamed over it, so a server never hands out half of one.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/named_mutex.h"

// A file of the site folder, whole; nothing when it is not there.
std::optional<std::string> ReadSiteFile(const std::string& site, const std::string& name);
std::filesystem::path SitePath(const std::string& site, const std::string& name);

// Writes the bytes beside path (path with ".new" appended) and returns where; throws Exception
// when they cannot be written.
std::filesystem::path StageSiteFile(const std::filesystem::path& path, const std::string& bytes);
// Replaces a site file as a whole: staged beside it, then renamed over it.
void WriteSiteFile(const std::filesystem::path& path, const std::string& bytes);

// Holds a site folder for one writer while it lives: two builds of one site at once would each
// remove the packages the other's list names. A second writer is refused at once, by an
// Exception that names the process holding the site.
class SiteLock {
 public:
  explicit SiteLock(const std::string& site);

 private:
  platform::NamedMutex mutex_;
};
