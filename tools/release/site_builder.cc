#include "site_builder.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "base/exception.h"
#include "base/hex.h"
#include "base/relative_path.h"
#include "base/utf8string.h"
#include "nginx_config.h"
#include "platform/file.h"
#include "platform/file_stamp.h"
#include "platform/path.h"
#include "site_layout.h"
#include "storage/block_pipeline.h"
#include "storage/file_digest.h"
#include "storage/md5.h"
#include "storage/varne_file_system.h"
#include "update/block_index.h"
#include "update/file_list.h"
#include "update/release_protocol.h"

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
  explicit PreviousBlocks(const fs::path& site) {
    const auto read = [&site](const char* name) {
      return platform::ReadWholeFile(platform::ToInternalPath(Text(site / name)));
    };
    const auto list = read(kSiteListName);
    const auto blocks = read(kSiteBlocksName);
    const auto fine = read(kSiteFineName);
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

// Adds every file below `image`\`below` (internal forms) to `files`, listed by its path below the
// image. Through the platform layer: libstdc++ on Windows loses its way in folders whose names and
// file names are not ASCII.
void ScanFolder(const std::string& image, const std::tstring& below, ImageDigester& digester,
                std::vector<ImageFile>& files) {
  const std::string folder = below.empty() ? image : image + "\\" + below;
  std::vector<platform::DirectoryItem> items;
  if (!platform::ListDirectory(folder, &items)) {
    throw Exception("cannot read " + platform::ToNativePath(folder), true);
  }
  for (const platform::DirectoryItem& item : items) {
    ImageFile file;
    file.path = below.empty() ? std::tstring(item.name) : below + "\\" + item.name;
    // A backslash inside a name would be a folder separator to the updater; any other name is
    // listed exactly when the updater would install it.
    if (item.name.find('\\') != std::string::npos || !IsSafeRelativePath(file.path)) {
      throw Exception("file name cannot be listed: " + platform::ToNativePath(file.path), true);
    }
    if (item.is_directory) {
      ScanFolder(image, file.path, digester, files);
      continue;
    }
    digester.Digest(image + "\\" + file.path, file);
    const auto package = PackagePathForQueryValue(EncodePathForQuery(file.path));
    if (!package) throw Exception("path too long for a site: " + file.path, true);
    file.package = *package;
    files.push_back(std::move(file));
  }
}

std::vector<ImageFile> ScanImage(const fs::path& image, const PreviousBlocks* previous) {
  std::vector<ImageFile> files;
  ImageDigester digester(previous);
  ScanFolder(platform::ToInternalPath(Text(image)), {}, digester, files);
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

void WritePackage(const fs::path& image, const fs::path& package, const ImageFile& file) {
  fs::remove(package);
  fs::create_directories(package.parent_path());
  VarneFileSystem system;
  const std::tstring base = platform::ToInternalPath(Text(image));
  system.AddFile(base + "\\" + file.path, base);
  system.WritePackage(platform::ToInternalPath(Text(package)), 1);
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
  if (text.empty()) return {};
  utf8string utf8;
  utf8.SetString(text);
  return std::string(utf8.GetData(), utf8.GetSize() - 1);
}

void RemoveBlockFiles(const fs::path& site_folder) {
  for (const char* name : {kSiteBlocksName, kSiteFineName, kSiteBlocksSignatureName}) {
    fs::remove(site_folder / name);
  }
}

std::uint64_t WriteBlockFiles(const fs::path& site_folder, const std::string& list,
                              const std::vector<ImageFile>& files) {
  std::vector<block_index::FileBlocks> blocks;
  blocks.reserve(files.size());
  for (const ImageFile& file : files) blocks.push_back(file.blocks);
  const block_index::BlockFiles written =
      block_index::MakeBlockFiles({list.size(), platform::Sha256Of(list)}, blocks);
  // The old signature vouches for the old index: gone before the index changes, so that no
  // signature is ever served beside block data it does not match.
  fs::remove(site_folder / kSiteBlocksSignatureName);
  WriteSiteFile(site_folder / kSiteFineName, written.fine);
  WriteSiteFile(site_folder / kSiteBlocksName, written.blocks);
  return written.blocks.size() + written.fine.size();
}

}  // namespace

// Replaces a site file as a whole: written beside it, then renamed over it.
void WriteSiteFile(const fs::path& path, const std::string& bytes) {
  fs::path temporary = path;
  temporary += ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) throw Exception("cannot write " + Text(temporary), true);
  }
  fs::rename(temporary, path);
}

SiteSummary BuildSite(const std::string& image, const std::string& site,
                      const SiteOptions& options) {
  const fs::path image_folder = fs::absolute(platform::ToFilesystemPath(image)).lexically_normal();
  const fs::path site_folder = fs::absolute(platform::ToFilesystemPath(site)).lexically_normal();
  if (!fs::is_directory(image_folder)) throw Exception("not a folder: " + image, true);
  const std::optional<PreviousBlocks> previous =
      options.blocks ? std::make_optional<PreviousBlocks>(site_folder) : std::nullopt;
  const std::vector<ImageFile> files = ScanImage(image_folder, previous ? &*previous : nullptr);
  fs::create_directories(site_folder / kSitePackagesFolder);

  SiteSummary summary;
  std::set<std::string> keep;
  for (const ImageFile& file : files) {
    const fs::path package = site_folder / file.package;
    keep.insert(platform::ToInternalPath(Text(package)));
    summary.bytes += file.size;
    if (PackageIsCurrent(package, file)) {
      ++summary.packages_kept;
      continue;
    }
    WritePackage(image_folder, package, file);
    ++summary.packages_written;
  }
  summary.files = static_cast<int>(files.size());
  summary.packages_removed =
      RemoveStalePackages(platform::ToInternalPath(Text(site_folder / kSitePackagesFolder)), keep);

  std::string folder = Text(site_folder);
  if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  WriteSiteFile(site_folder / kSiteNginxName,
                MakeNginxServerBlock(options.listen, options.list_path, folder));
  WriteSiteFile(site_folder / kSiteSettingsName,
                "listen=" + options.listen + "\r\npath=" + options.list_path + "\r\n");
  const std::string list = ListDocument(files);
  if (options.blocks) {
    summary.block_bytes = WriteBlockFiles(site_folder, list, files);
  } else {
    RemoveBlockFiles(site_folder);
  }
  WriteSiteFile(site_folder / kSiteListName, list);
  return summary;
}
