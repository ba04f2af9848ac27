#include "release_changes.h"

#include <algorithm>
#include <map>
#include <set>
#include <string_view>
#include <utility>

#include "base/ascii.h"
#include "base/exception.h"
#include "base/utf8string.h"
#include "platform/file.h"
#include "platform/path.h"
#include "site/block_matcher.h"
#include "site/site_names.h"
#include "storage/byte_stream.h"
#include "storage/i_file.h"
#include "storage/varne_file_system.h"

namespace fs = std::filesystem;

namespace {

// A package entry read at any offset, as the matcher reads an installed file.
class EntryStream final : public ByteStream {
 public:
  explicit EntryStream(IFile& file) : file_(file) {}

  std::uint64_t Size() override { return file_.GetSize(); }
  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t count) override {
    if (file_.Tell() != offset && file_.Seek(static_cast<std::int64_t>(offset), 0) < 0) return -1;
    std::uint32_t got = 0;
    const auto want = static_cast<std::uint32_t>(std::min<std::size_t>(count, 1u << 30));
    return file_.Read(buffer, want, &got) < 0 ? -1 : got;
  }

 private:
  IFile& file_;
};

// The bytes the updater fetches to make the new file from the previous one: the ranges no block
// of the old copy supplies, and the fine records it reads for each gap.
std::uint64_t MissingBytes(const block_index::FileBlocks& blocks, ByteStream& old) {
  const block_data::BlockData data = block_data::ParseBlockData(blocks.documents.coarse);
  block_data::BlockMatcher matcher(data, old);
  matcher.Search();
  std::uint64_t records = 0;
  const std::string_view fine = blocks.documents.fine;
  for (const block_data::BlockRun& gap : matcher.Gaps()) {
    const std::uint64_t length = data.FineRecordsLength(gap.first, gap.end);
    matcher.Refine(gap, fine.substr(data.FineRecordsOffset(gap.first), length));
    records += length;
  }
  return records + block_data::TotalsOf(matcher.Plan()).fetched;
}

// What a changed file costs a player holding `before`, read from its package in the site.
std::uint64_t ChangedFileBytes(const fs::path& site, const FileEntry& before,
                               const ReleaseFile& file) {
  if (file.blocks == nullptr) return file.size;
  const auto package = PackagePathForQuery(EncodePathForQuery(before.path), before.orgsize);
  if (!package) return file.size;
  try {
    VarneFileSystem system;
    system.ReadPackage(platform::ToInternalPath(platform::FilesystemPathText(site / *package)));
    IFile* old = system.OpenFile(before.path);
    std::uint64_t bytes = 0;
    try {
      EntryStream stream(*old);
      bytes = MissingBytes(*file.blocks, stream);
    } catch (...) {
      system.CloseFile(old);
      throw;
    }
    system.CloseFile(old);
    return std::min(bytes, file.size);
  } catch (const Exception&) {
    return file.size;  // no previous copy to match: the updater fetches the whole file
  }
}

}  // namespace

std::optional<FileList> PublishedList(const fs::path& site) {
  const auto document = platform::ReadWholeFile(
      platform::ToInternalPath(platform::FilesystemPathText(site / kSiteListName)));
  if (!document || document->empty()) return std::nullopt;
  FileList list;
  try {
    utf8string text;
    text.SetUtf8Data(document->data(), document->size());
    ParseFileList(text.GetString(), list);
  } catch (const Exception&) {
    return std::nullopt;  // a damaged or foreign list
  }
  return list;
}

ReleaseChanges CompareWithPublished(const fs::path& site, const std::vector<ReleaseFile>& files) {
  ReleaseChanges changes;
  std::map<std::tstring, FileEntry> before;
  std::set<std::pair<std::uint64_t, std::string>> on_disk;  // size and MD5 of each file before
  if (const std::optional<FileList> list = PublishedList(site)) {
    changes.previous = true;
    for (const FileEntry& entry : *list) {
      before.emplace(entry.path, entry);
      on_disk.emplace(OrgSizeOf(entry).value_or(0), ascii::Lowered(entry.md5));
    }
  }
  for (const ReleaseFile& file : files) {
    changes.release_bytes += file.size;
    const auto found = before.find(*file.path);
    if (found == before.end()) {
      ++changes.added;
      // A renamed, moved or copied file: the updater takes its bytes from the player's disk.
      if (!on_disk.contains({file.size, ascii::Lowered(*file.md5)})) {
        changes.patch_bytes += file.size;
      }
      continue;
    }
    if (OrgSizeOf(found->second) == file.size && found->second.md5 == *file.md5) {
      ++changes.unchanged;
    } else {
      ++changes.changed;
      changes.patch_bytes += ChangedFileBytes(site, found->second, file);
    }
    before.erase(found);
  }
  changes.removed = static_cast<int>(before.size());
  return changes;
}
