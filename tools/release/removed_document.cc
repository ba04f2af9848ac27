#include "removed_document.h"

#include <map>
#include <set>
#include <utility>

#include "base/ascii.h"
#include "base/exception.h"
#include "base/hex.h"
#include "base/utf8string.h"
#include "platform/crypto.h"
#include "site/file_list.h"
#include "site/site_names.h"
#include "site_files.h"

namespace {

FileList ParsedList(const std::string& document) {
  FileList list;
  utf8string text;
  text.SetUtf8Data(document.data(), static_cast<std::uint32_t>(document.size()));
  ParseFileList(text.GetString(), list);
  return list;
}

// One entry per file and content, the youngest kept; none for a path the new release lists.
class RemovedSet {
 public:
  explicit RemovedSet(const FileList& listed) {
    for (const FileEntry& entry : listed) listed_.insert(ascii::Lowered(entry.path));
  }

  void Add(RemovedFile file) {
    const std::string folded = ascii::Lowered(file.path);
    if (file.age >= kRemovedKeptReleases || listed_.contains(folded)) return;
    const auto key = std::make_pair(folded, EncodeHex(file.md5));
    const auto [found, added] = files_.try_emplace(key, file);
    if (!added && file.age < found->second.age) found->second = std::move(file);
  }

  std::vector<RemovedFile> Files() const {
    std::vector<RemovedFile> files;
    for (const auto& [key, file] : files_) files.push_back(file);
    return files;
  }

 private:
  std::set<std::string> listed_;
  std::map<std::pair<std::string, std::string>, RemovedFile> files_;
};

// The files the published list names and the new one does not, with the SHA-256 its signature
// gives each when it was signed for that very list.
void AddNewlyRemoved(const std::string& site, const std::string& published, RemovedSet& removed) {
  const FileList before = ParsedList(published);
  std::optional<ReleaseSignature> release;
  if (const auto signature = ReadSiteFile(site, SiteFileName(BesideList::kSignature))) {
    release = ReadRelease(*signature);
  }
  const bool signed_list = release && release->list_size == published.size() &&
                           release->list_sha256 == platform::Sha256Of(published) &&
                           release->files.size() == before.size();
  for (std::size_t i = 0; i < before.size(); ++i) {
    const FileEntry entry = before[i];
    const std::optional<std::uint64_t> size = OrgSizeOf(entry);
    RemovedFile file{.path = entry.path, .size = size.value_or(0)};
    if (!size || !DecodeHex(ascii::Lowered(entry.md5), file.md5)) continue;
    if (signed_list) file.sha256 = release->files[i];
    removed.Add(std::move(file));
  }
}

// What the published document carried, bound to the published list, a release older when the
// list changes.
void AddCarried(const std::string& site, const ListDigest& published, bool changed,
                RemovedSet& removed) {
  const auto document = ReadSiteFile(site, SiteFileName(BesideList::kRemoved));
  if (!document) return;
  RemovedFiles before;
  try {
    before = ReadRemovedFiles(*document, nullptr);
  } catch (const Exception&) {
    return;
  }
  if (!(before.list == published)) return;
  for (RemovedFile& file : before.files) {
    file.age += changed ? 1 : 0;
    removed.Add(std::move(file));
  }
}

}  // namespace

RemovedFiles RemovedSince(const std::string& site, const std::string& list) {
  RemovedFiles result{{list.size(), platform::Sha256Of(list)}, {}};
  const std::optional<std::string> published = ReadSiteFile(site, kSiteListName);
  if (!published || published->empty()) return result;
  const ListDigest before{published->size(), platform::Sha256Of(*published)};
  RemovedSet removed(ParsedList(list));
  try {
    AddNewlyRemoved(site, *published, removed);
  } catch (const Exception&) {
    // A published list that does not read removes nothing.
  }
  AddCarried(site, before, !(before == result.list), removed);
  result.files = removed.Files();
  return result;
}
