#include "site_builder.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "base/ascii.h"
#include "base/exception.h"
#include "base/hex.h"
#include "base/utf8string.h"
#include "config/config_base.h"
#include "nginx_config.h"
#include "platform/file.h"
#include "platform/file_stamp.h"
#include "platform/path.h"
#include "removed_document.h"
#include "site/block_index.h"
#include "site/file_list.h"
#include "site/release_state.h"
#include "site/site_names.h"
#include "site_files.h"
#include "site_roots.h"
#include "storage/block_pipeline.h"
#include "storage/file_digest.h"
#include "storage/image_files.h"
#include "storage/md5.h"
#include "storage/varne_file_system.h"

namespace fs = std::filesystem;

namespace {

struct ImageFile {
  std::tstring path;  // relative, with backslashes, as listed
  std::uint64_t size = 0;
  std::tstring md5;
  std::string package;  // relative to the site folder
  block_index::FileBlocks blocks;
};

std::string Text(const fs::path& path) { return platform::FilesystemPathText(path); }

// The block documents of the site's previous build, by listed path, when its block data is bound
// to its list; each is checked against the index before it is offered again.
class PreviousBlocks {
 public:
  PreviousBlocks() = default;  // none: every file's data is made anew
  explicit PreviousBlocks(const fs::path& site) {
    const auto read = [&site](const std::string& name) {
      return platform::ReadWholeFile(platform::ToInternalPath(Text(site / name)));
    };
    const auto list = read(kSiteListName);
    const auto blocks = read(SiteFileName(BesideList::kBlocks));
    const auto fine = read(SiteFileName(BesideList::kFine));
    if (!list || !blocks || !fine || list->empty()) return;
    try {
      Load(*list, *blocks, *fine);
    } catch (const Exception&) {
      documents_.clear();  // a damaged or foreign site: every file's data is made anew
    }
  }

  // The documents of a file of this path and size built before, and the MD5 they were made from.
  const block_index::FileBlocks* Find(const std::tstring& path, std::uint64_t size) const {
    const auto found = documents_.find(path);
    return found != documents_.end() && found->second.size == size ? &found->second.blocks
                                                                   : nullptr;
  }

 private:
  void Load(const std::string& list_document, const std::string& blocks, const std::string& fine) {
    const block_index::Index index = block_index::ParseIndex(blocks);
    utf8string text;
    text.SetUtf8Data(list_document.data(), list_document.size());
    FileList list;
    ParseFileList(text.GetString(), list);
    if (index.list.size != list_document.size() ||
        index.list.sha256 != platform::Sha256Of(list_document) ||
        index.entries.size() != list.size()) {
      return;
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
      const block_index::Entry& entry = index.entries[i];
      if (entry.coarse_offset + entry.coarse_size > blocks.size() ||
          entry.fine_offset + entry.fine_size > fine.size()) {
        return;
      }
      Built built{{{blocks.substr(entry.coarse_offset, entry.coarse_size),
                    fine.substr(entry.fine_offset, entry.fine_size)},
                   entry.md5},
                  0};
      const block_data::BlockData data = block_data::ParseBlockData(built.blocks.documents.coarse);
      if (platform::Sha256Of(built.blocks.documents.coarse) == entry.coarse_sha256 &&
          entry.fine_size == data.FineRecordsLength(0, data.BlockCount())) {
        built.size = data.file_size;
        documents_.emplace(list[i].path, std::move(built));
      }
    }
  }

  struct Built {
    block_index::FileBlocks blocks;
    std::uint64_t size;
  };
  std::map<std::tstring, Built> documents_;
};

// Reads image files once each for their MD5 and, when made with blocks, their block data. The
// block data is made on a second thread from each block the digest read, so that a large file costs
// the slower of the two passes rather than their sum.
class ImageDigester {
 public:
  // previous: the block data of the last build, reused for files it was made from, or null when
  // the build makes no block data.
  explicit ImageDigester(const PreviousBlocks* previous) : previous_(previous) {}

  // A file whose documents the last build made for a file of its path and size is digested alone;
  // when its MD5 shows it unchanged, those documents are its own, and otherwise it is read again
  // for its block data, which only a change that keeps the size costs.
  void Digest(const std::string& path, ImageFile& file) {
    const std::optional<platform::FileStamp> stamp = platform::StampOf(path);
    const block_index::FileBlocks* before =
        previous_ != nullptr && stamp
            ? previous_->Find(file.path, static_cast<std::uint64_t>(stamp->size))
            : nullptr;
    Read(path, before == nullptr && previous_ != nullptr, file);
    if (before != nullptr && before->md5 == file.blocks.md5) {
      file.blocks.documents = before->documents;
    } else if (before != nullptr) {
      Read(path, true, file);
    }
  }

 private:
  void Read(const std::string& path, bool blocks, ImageFile& file) {
    platform::SequentialFile in;
    if (in.Open(path) != platform::SequentialOpen::kOpened) {
      throw Exception("cannot read " + platform::ToNativePath(path), true);
    }
    const auto never = [] { return false; };
    if (blocks) {
      writer_ = block_data::BlockDataWriter();
      stage_.SetThreaded(static_cast<std::uint64_t>(in.Stamp().size) >= kPipelineThreadedSize);
      file.md5 =
          DigestOfOpenFile(in, buffer_, never, [this](const std::uint8_t* bytes, std::size_t size) {
            std::memcpy(stage_.Next(), bytes, size);
            stage_.Submit(size);
          });
      stage_.Finish();
      file.blocks.documents = writer_.Finish();
    } else {
      file.md5 = DigestOfOpenFile(in, buffer_, never);
    }
    if (file.md5.empty() || !DecodeHex(file.md5, file.blocks.md5)) {
      throw Exception("cannot read " + platform::ToNativePath(path), true);
    }
    file.size = static_cast<std::uint64_t>(in.Stamp().size);
  }

  static_assert(kFileDigestBlockSize <= kPipelineBlockSize);
  const PreviousBlocks* previous_;
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(kFileDigestBlockSize);
  block_data::BlockDataWriter writer_;
  SideStage stage_{
      [this](const std::uint8_t* bytes, std::size_t size) { writer_.Update(bytes, size); }};
};

// Names the updater gives its own files in an install folder: its state, its download
// temporaries ("file<N>.dl") and, beside any file, the
// hidden temporaries of a replacement (".<name>.<pid>-<n>.rv7new.tmp", older ones without the mark)
// and of a resumed download (".<name>.part"). A release holding one
// would overwrite the updater's file, or have it removed as a leftover.
bool IsUpdaterWorkName(const std::tstring& path) {
  static const std::regex kTopLevel("file[0-9]+\\.dl", std::regex::icase);
  static const std::regex kAnywhere("\\..+\\.([0-9]+-[0-9]+(\\.rv7new)?\\.tmp|part)",
                                    std::regex::icase);
  const std::size_t slash = path.rfind('\\');
  const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  const bool top = slash == std::string::npos;
  return (top && (std::regex_match(name, kTopLevel) ||
                  ascii::EqualsIgnoringCase(name, ascii::Lowered(kReleaseStateName)))) ||
         std::regex_match(name, kAnywhere);
}

using ProgressReport = std::function<void(const ProgressFigures&, const std::string&)>;

std::vector<ImageFile> ScanImage(const fs::path& image, const PreviousBlocks* previous,
                                 const SiteOptions& options) {
  const ProgressReport& progress = options.progress;
  const std::string folder = platform::ToInternalPath(Text(image));
  const std::vector<std::tstring> paths = ListImageFiles(folder, options.follow_links);
  if (paths.empty()) throw Exception("no file to publish in " + Text(image), true);
  const auto work = std::find_if(paths.begin(), paths.end(), IsUpdaterWorkName);
  if (work != paths.end()) {
    throw Exception(
        "the updater keeps its own files under this name: " + platform::ToNativePath(*work), true);
  }
  std::vector<ImageFile> files(paths.size());
  ProgressFigures figures{0, paths.size(), 0, 0};
  for (const std::tstring& path : paths) {
    const auto stamp = progress ? platform::StampOf(folder + "\\" + path) : std::nullopt;
    figures.bytes_total += stamp ? static_cast<std::uint64_t>(stamp->size) : 0;
  }
  ImageDigester digester(previous);
  for (std::size_t i = 0; i < paths.size(); ++i) {
    ImageFile& file = files[i];
    file.path = paths[i];
    if (progress) progress(figures, "reading " + file.path);
    digester.Digest(folder + "\\" + file.path, file);
    figures = {i + 1, figures.files_total, figures.bytes_done + file.size, figures.bytes_total};
    const auto package =
        PackagePathForQuery(EncodePathForQuery(file.path), std::to_string(file.size));
    if (!package) throw Exception("path too long for a site: " + file.path, true);
    file.package = *package;
  }
  if (progress) progress(figures, "read");
  std::sort(files.begin(), files.end(),
            [](const ImageFile& a, const ImageFile& b) { return a.path < b.path; });
  return files;
}

// An existing package is kept when its entry for the file carries the file's digest.
bool PackageIsCurrent(const fs::path& package, const ImageFile& file) {
  if (!fs::is_regular_file(package)) return false;
  try {
    VarneFileSystem system;
    system.ReadPackage(platform::ToInternalPath(Text(package)));
    FileInfoCellEx entry;
    if (!system.LookupEntry(file.path, &entry)) return false;
    MD5Bytes digest;
    std::copy(std::begin(entry.digest), std::end(entry.digest), digest.begin());
    return MD5Context::ToText(digest) == file.md5;
  } catch (const Exception&) {
    return false;
  }
}

// Written beside its place and renamed into it, so that a server never hands out part of one.
void WritePackage(const fs::path& image, const fs::path& package, const ImageFile& file) {
  fs::create_directories(package.parent_path());
  VarneFileSystem system;
  const std::tstring base = platform::ToInternalPath(Text(image));
  system.AddFile(base + "\\" + file.path, base);
  fs::path temporary = package;
  temporary += ".new";
  system.WritePackage(platform::ToInternalPath(Text(temporary)), 1);
  fs::rename(temporary, package);
}

// Removes every file below `folder` (internal form) that no listed file uses, and the folders
// emptied, and returns how many files went. Through the platform layer: packages have long paths,
// and libstdc++ on Windows lists no folder whose path is longer than 260 characters.
int RemoveStalePackages(const std::string& folder, const std::set<std::string>& keep) {
  std::vector<platform::DirectoryItem> items;
  if (!platform::ListDirectory(folder, &items)) return 0;
  int removed = 0;
  for (const platform::DirectoryItem& item : items) {
    const std::string path = folder + "\\" + item.name;
    if (!item.is_directory) {
      removed += !keep.count(path) && platform::RemoveFile(path) ? 1 : 0;
      continue;
    }
    removed += RemoveStalePackages(path, keep);
    std::vector<platform::DirectoryItem> left;
    std::error_code ignored;
    if (platform::ListDirectory(path, &left) && left.empty()) {
      fs::remove(platform::ToFilesystemPath(platform::ToNativePath(path)), ignored);
    }
  }
  return removed;
}

std::string ListDocument(const std::vector<ImageFile>& files) {
  std::tstring text;
  for (const ImageFile& file : files) {
    text += "1::" + file.path + ":" + std::to_string(file.size) + ":" + file.md5 + "\r\n";
  }
  utf8string utf8;
  utf8.SetString(text);
  return std::string(utf8.GetData(), utf8.GetSize() - 1);
}

block_index::BlockFiles BlockFilesFor(const std::string& list,
                                      const std::vector<ImageFile>& files) {
  std::vector<block_index::FileBlocks> blocks;
  blocks.reserve(files.size());
  for (const ImageFile& file : files) blocks.push_back(file.blocks);
  return block_index::MakeBlockFiles({list.size(), platform::Sha256Of(list)}, blocks);
}

// The packages of the release the site publishes now (internal forms): kept through the next
// build, since players who read its list just before the switch still fetch them.
std::set<std::string> PublishedPackages(const fs::path& site_folder) {
  std::set<std::string> packages;
  const std::optional<FileList> list = PublishedList(site_folder);
  if (!list) return packages;  // none, or a damaged or foreign list: nothing of it is kept
  for (const FileEntry& entry : *list) {
    const auto package = PackagePathForQuery(EncodePathForQuery(entry.path), entry.orgsize);
    if (package) packages.insert(platform::ToInternalPath(Text(site_folder / *package)));
  }
  return packages;
}

// Compared before any package is written: the previous copy of a changed file is read from its
// package, which the new one may replace.
ReleaseChanges ChangesOf(const fs::path& site_folder, const std::vector<ImageFile>& files,
                         bool blocks) {
  std::vector<ReleaseFile> release;
  release.reserve(files.size());
  for (const ImageFile& file : files) {
    release.push_back({&file.path, file.size, &file.md5, blocks ? &file.blocks : nullptr});
  }
  return CompareWithPublished(site_folder, release);
}

// Writes a site file's new bytes beside it and returns where, for a rename to put them in place.
// Puts a site file in place, or removes it when it has no content in this release.
void Publish(const fs::path& path, const std::string& bytes) {
  if (bytes.empty()) {
    fs::remove(path);
  } else {
    WriteSiteFile(path, bytes);
  }
}

// Puts the list, its signature, the timestamp that names it and the copies and the removed files
// bound to it in place, removing those the release has none of. All are written out before any is
// renamed, so that a player can meet the new list beside the old signature or timestamp only
// between renames back to back, however large the documents.
void SwitchList(const fs::path& site_folder, const std::string& list,
                const SiteSignatures& signatures, const std::string& removed) {
  const std::pair<fs::path, const std::string*> documents[] = {
      {site_folder / kSiteListName, &list},
      {site_folder / SiteFileName(BesideList::kRoots), &signatures.roots},
      {site_folder / SiteFileName(BesideList::kSignature), &signatures.list},
      {site_folder / SiteFileName(BesideList::kTimestamp), &signatures.timestamp},
      {site_folder / SiteFileName(BesideList::kMirrors), &signatures.mirrors},
      {site_folder / SiteFileName(BesideList::kRemoved), &removed},
  };
  std::optional<fs::path> staged[std::size(documents)];
  for (std::size_t i = 0; i < std::size(documents); ++i) {
    if (!documents[i].second->empty()) {
      staged[i] = StageSiteFile(documents[i].first, *documents[i].second);
    }
  }
  for (std::size_t i = 0; i < std::size(documents); ++i) {
    if (staged[i]) {
      fs::rename(*staged[i], documents[i].first);
    } else if (documents[i].second != &signatures.roots) {  // the roots stay unless one is added
      fs::remove(documents[i].first);
    }
  }
  // The root published: nothing waits any more.
  if (!signatures.roots.empty()) fs::remove(site_folder / kPendingRootName);
}

constexpr char kMirrorsSetting[] = "mirrors";

// A list URL holds no blank, so the copies share one line, blank-separated, in their order.
std::string SettingsText(const SiteOptions& options) {
  std::string text = "listen=" + options.listen + "\r\npath=" + options.list_path + "\r\n";
  if (options.mirrors.empty()) return text;
  text += std::string(kMirrorsSetting) + "=";
  for (const std::string& url : options.mirrors) {
    text += url + (&url == &options.mirrors.back() ? "\r\n" : " ");
  }
  return text;
}

}  // namespace

std::vector<std::string> RememberedMirrors(const std::string& site) {
  ConfigBase settings;
  settings.Load(platform::ToInternalPath(Text(SitePath(site, kSiteSettingsName))));
  std::istringstream line(settings.LoadString(kMirrorsSetting, ""));
  return {std::istream_iterator<std::string>(line), std::istream_iterator<std::string>()};
}

// Players see the release before or the one after, never a mix: the documents are made and signed
// before anything is written, so a signing that fails leaves the site as it was; every package of
// the new list is in place under its own name before any document switches; then the block data,
// bound to the new list, the list, its signature and its timestamp each switch by a rename; the
// packages of the release before stay until the next build.
SiteSummary BuildSite(const std::string& image, const std::string& site,
                      const SiteOptions& options) {
  const fs::path image_folder = fs::absolute(platform::ToFilesystemPath(image)).lexically_normal();
  const fs::path site_folder = fs::absolute(platform::ToFilesystemPath(site)).lexically_normal();
  if (!fs::is_directory(image_folder)) throw Exception("not a folder: " + image, true);
  // A signed build vouches for every block document it publishes, so it makes each from the file
  // it describes: a document left in the site folder is anyone's who could write there.
  std::optional<PreviousBlocks> previous;
  if (options.blocks) options.sign ? previous.emplace() : previous.emplace(site_folder);
  const std::vector<ImageFile> files =
      ScanImage(image_folder, previous ? &*previous : nullptr, options);
  const std::string list = ListDocument(files);
  const block_index::BlockFiles blocks =
      options.blocks ? BlockFilesFor(list, files) : block_index::BlockFiles{};
  // Read from the documents the site publishes now, before any of them is replaced.
  const RemovedFiles removed = RemovedSince(site, list);
  const std::string removed_text = RemovedFilesText(removed);
  const SiteSignatures signatures =
      options.sign ? options.sign(list, blocks.blocks, removed_text) : SiteSignatures{};
  fs::create_directories(site_folder / kSitePackagesFolder);

  SiteSummary summary;
  summary.changes = ChangesOf(site_folder, files, options.blocks);
  std::set<std::string> keep = PublishedPackages(site_folder);
  ProgressFigures figures{0, files.size(), 0, summary.changes.release_bytes};
  for (const ImageFile& file : files) {
    const fs::path package = site_folder / file.package;
    keep.insert(platform::ToInternalPath(Text(package)));
    summary.bytes += file.size;
    if (options.progress) options.progress(figures, "packing " + file.path);
    figures.files_done++;
    figures.bytes_done += file.size;
    if (PackageIsCurrent(package, file)) {
      ++summary.packages_kept;
      continue;
    }
    WritePackage(image_folder, package, file);
    ++summary.packages_written;
    summary.package_bytes += fs::file_size(package);
  }
  if (options.progress) options.progress(figures, "packed");
  summary.files = static_cast<int>(files.size());
  summary.block_bytes = blocks.blocks.size() + blocks.fine.size();
  summary.serial = signatures.serial;

  std::string folder = Text(site_folder);
  if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  WriteSiteFile(site_folder / kSiteNginxName,
                MakeNginxServerBlock(options.listen, options.list_path, folder));
  WriteSiteFile(site_folder / kSiteSettingsName, SettingsText(options));
  Publish(site_folder / SiteFileName(BesideList::kFine), blocks.fine);
  Publish(site_folder / SiteFileName(BesideList::kBlocks), blocks.blocks);
  Publish(site_folder / SiteFileName(BesideList::kBlocksSignature), signatures.blocks);
  summary.removed_named = static_cast<int>(removed.files.size());
  SwitchList(site_folder, list, signatures, options.sign ? signatures.removed : removed_text);
  summary.packages_removed =
      RemoveStalePackages(platform::ToInternalPath(Text(site_folder / kSitePackagesFolder)), keep);
  return summary;
}
