#include "update/free_space.h"

#include <algorithm>

#include "base/exception.h"
#include "platform/file_stamp.h"
#include "platform/folder_access.h"
#include "update/block_update.h"

namespace {

constexpr std::uint64_t kMegabyte = 1 << 20;

std::uint64_t SizeOnDisk(const std::tstring& path) {
  const std::optional<platform::FileStamp> stamp = platform::StampOf(path);
  return stamp ? static_cast<std::uint64_t>(stamp->size) : 0;
}

}  // namespace

std::uint64_t SpaceNeeded(const FileList& list,
                          const std::vector<std::optional<std::uint64_t>>& installed,
                          const std::function<std::tstring(const FileEntry&)>& target) {
  std::uint64_t total = 0, largest = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (installed[i] && list.OrgSizeAt(i) == installed[i]) continue;
    const FileEntry entry = list[i];
    const std::uint64_t size = OrgSizeOf(entry).value_or(0);
    const std::uint64_t kept = SizeOnDisk(block_update::PartPathOf(target(entry)));
    total += size - std::min(size, kept);
    largest = std::max(largest, size);
  }
  return total + largest;
}

std::string MegabytesShort(std::uint64_t needed) {
  const std::optional<std::uint64_t> free = platform::FreeBytesOf(".");
  if (!free || *free >= needed) return {};
  return std::to_string((needed - *free + kMegabyte - 1) / kMegabyte);
}

void RequireSpace(std::uint64_t needed) {
  const std::string short_by = MegabytesShort(needed);
  if (short_by.empty()) return;
  throw Caused(
      DownloadManagerException(
          "Not enough free disk space : " + std::to_string(needed) + " bytes needed.", true),
      ErrorCause::kDisk, {platform::VolumeOf("."), short_by});
}
