#include "storage/folder_bounds.h"

#include <optional>
#include <string>

#include "platform/file.h"

namespace {

std::optional<std::string> RealFolder(const std::tstring& folder) {
  return platform::RealPath(folder.empty() ? "." : folder);
}

}  // namespace

bool LeavesFolderOnDisk(const std::tstring& folder, const std::tstring& target) {
  std::tstring existing(target);
  existing.ToBackslashes();
  for (std::tstring above = existing;;) {
    above.RemoveFileSpec();
    // A root stays as it is: there is nothing further up to look at.
    if (above == existing) break;
    existing = above;
    if (existing.empty() || platform::IsDirectory(existing)) break;
  }
  const std::optional<std::string> base = RealFolder(folder), real = RealFolder(existing);
  return !base || !real || !IsAtOrBelow(*real, *base);
}

bool IsAtOrBelow(const std::string& real, const std::string& base) {
  const std::string inside = base.ends_with('\\') ? base : base + "\\";
  return real == base || real.starts_with(inside);
}
