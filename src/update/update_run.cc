#include "update/update_run.h"

#include <algorithm>
#include <charconv>
#include <deque>
#include <iterator>
#include <limits>
#include <optional>
#include <vector>

#include "base/exception.h"
#include "base/utf8string.h"
#include "config/config_base.h"
#include "platform/file.h"
#include "storage/default_file.h"
#include "storage/md5.h"
#include "storage/package_format.h"
#include "storage/varne_file_manager.h"
#include "update/digest_ahead.h"
#include "update/install_names.h"
#include "update/proxy_discovery.h"

namespace {

constexpr char kListUserAgent[] = "RovanSevenFileListClient";
// A longer list is refused: it would cost the memory of a list of millions of files.
constexpr std::uint32_t kMaxListBytes = 256u << 20;
// The list is received and converted in blocks of this size.
constexpr std::size_t kListBlockSize = 1 << 20;
constexpr std::uint32_t kBlockSize = 1 << 20;
// Binary, write-only, and created new: never through a file or link already at the name.
constexpr int kOpenTemporary = 0x8000 | 0x0001 | 0x0100 | 0x0400;

// Writes a downloaded body to the temporary file as it arrives.
class TemporaryFileSink : public IHttpBodySink {
 public:
  explicit TemporaryFileSink(const std::tstring& path) : path_(path) {}
  // No package of the listed file is longer than `limit`: a longer download is cut off there, so
  // that a server cannot fill the disk.
  void LimitTo(std::uint64_t limit, const std::tstring& listed_path) {
    limit_ = limit;
    listed_path_ = listed_path;
  }
  void OnBegin(bool announced, std::uint32_t length) override {
    if (announced && length > limit_) RefuseLength();
    file_.Open(path_.c_str(), kOpenTemporary);
    created_ = true;
  }
  void OnData(const std::uint8_t* bytes, std::size_t size) override {
    if (size > limit_ - written_) RefuseLength();
    written_ += size;
    // A short write (a full disk) must not leave a cut package to be installed.
    if (file_.Write(bytes, static_cast<std::uint32_t>(size)) != kResultOk) {
      throw DownloadManagerException("Temp File Error.", true);
    }
  }
  void OnEnd(std::uint32_t) override { file_.Close(); }
  // The file is this run's own: a name that another file took in the meantime is not removed.
  bool Created() const { return created_; }

 private:
  [[noreturn]] void RefuseLength() const {
    throw DownloadManagerException("Package data exceed the listed size : " + listed_path_, true);
  }

  std::tstring path_;
  DefaultFile file_;
  std::uint64_t limit_ = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t written_ = 0;
  std::tstring listed_path_;
  bool created_ = false;
};

// The listed size of a file to download. The list builder always writes the size in bytes; any
// other text leaves nothing to bound the download by.
std::uint64_t ListedSize(const FileEntry& entry) {
  const std::tstring& text = entry.orgsize;
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != text.npos) {
    throw DownloadManagerException("List file error(orgsize is not a number) : " + entry.path,
                                   true);
  }
  return std::stoull(text);
}

// Keeps the list document as it arrives in blocks of its own, so that it costs its size (no
// buffer that doubles and is copied as it grows), and refuses it past the limit, announced or
// not.
class ListSink : public IHttpBodySink {
 public:
  void OnBegin(bool announced, std::uint32_t length) override {
    if (announced && length > kMaxListBytes) Refuse();
  }
  void OnData(const std::uint8_t* bytes, std::size_t size) override {
    if (size > kMaxListBytes - size_) Refuse();
    size_ += size;
    sha256_.Update(bytes, size);
    const auto* text = reinterpret_cast<const char*>(bytes);
    while (size > 0) {
      if (blocks_.empty() || blocks_.back().size() == kListBlockSize) {
        blocks_.emplace_back().reserve(kListBlockSize);
      }
      std::string& block = blocks_.back();
      const std::size_t taken = std::min(size, kListBlockSize - block.size());
      block.append(text, taken);
      text += taken;
      size -= taken;
    }
  }
  void OnEnd(std::uint32_t) override {}

  std::size_t Size() const { return size_; }
  std::deque<std::string>& Blocks() { return blocks_; }
  ListDigest Digest() { return {size_, sha256_.Final()}; }

 private:
  [[noreturn]] static void Refuse() {
    throw DownloadManagerException("List file error(Data size over 256 MiB).", true);
  }

  std::deque<std::string> blocks_;
  std::size_t size_ = 0;
  platform::Sha256 sha256_;
};

void ParseListPiece(const std::string& bytes, FileList& list) {
  utf8string text;
  text.SetUtf8Data(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  ParseFileList(text.GetString(), list);
}

// Converts and parses the document a run of whole lines at a time, each block freed once it is
// parsed. Lines are cut after their line feed, a byte that no multi-byte UTF-8 character holds,
// so the pieces read exactly as the whole document would.
FileList ParseListBlocks(std::deque<std::string>& blocks) {
  FileList parsed;
  std::string piece;
  while (!blocks.empty()) {
    piece += blocks.front();
    blocks.pop_front();
    const std::size_t end = blocks.empty() ? piece.size() : piece.rfind('\n') + 1;
    if (end == 0) continue;
    ParseListPiece(piece.substr(0, end), parsed);
    piece.erase(0, end);
  }
  return parsed;
}

void RemoveTemporary(const std::tstring& path) { platform::RemoveFile(path); }

// What the listed file must be: its size when the size field is a number, and its digest. None
// when the digest field is no digest text, which no file can match.
std::optional<ExpectedContent> ExpectedOf(const FileEntry& entry) {
  ExpectedContent expected;
  const std::tstring& text = entry.md5;
  if (text.size() != 2 * expected.md5.size() ||
      text.find_first_not_of("0123456789abcdef") != std::tstring::npos) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < expected.md5.size(); ++i) {
    std::from_chars(text.data() + 2 * i, text.data() + 2 * i + 2, expected.md5[i], 16);
  }
  const std::tstring& size = entry.orgsize;
  if (!size.empty() && size.find_first_not_of("0123456789") == std::tstring::npos) {
    std::uint64_t value = 0;
    // A number too large for any file can match no file.
    const auto parsed = std::from_chars(size.data(), size.data() + size.size(), value);
    expected.size = parsed.ec == std::errc() ? value : ~std::uint64_t{0};
  }
  return expected;
}

// The file begins as a package does, or is a shorter piece of such a beginning.
bool IsPackageStart(const std::tstring& path) {
  platform::File file;
  if (file.Open(path, platform::Access::kRead, platform::Share::kReadWrite,
                platform::Disposition::kOpenExisting) != platform::OpenError::kNone) {
    return false;
  }
  char head[sizeof kPackageMagic] = {};
  const std::int64_t read = file.Read(head, sizeof head);
  return read >= 0 && std::equal(head, head + read, kPackageMagic);
}

DownloadManagerException Mismatch(const FileEntry& entry) {
  return DownloadManagerException("Downloaded file does not match the list : " + entry.path, true);
}

// The package's own record of the entry already tells whether its bytes can be the listed ones.
bool RecordMayMatch(VarneFileManager& files, const FileEntry& entry,
                    const ExpectedContent& expected) {
  FileInfoCellEx record;
  if (!files.GetFileSystem().LookupEntry(entry.path, &record) || !record.inPackage) return true;
  if (expected.size && *expected.size != record.sourceSize) return false;
  return std::equal(expected.md5.begin(), expected.md5.end(), record.digest);
}

std::tstring PercentEncoded(const std::tstring& text) {
  utf8string utf8;
  utf8.SetString(text);
  return utf8.GetUrlEncoded();
}

}  // namespace

std::tstring EncodePathForQuery(const std::tstring& path) {
  return PercentEncoded(PercentEncoded(path));
}

std::tstring DigestOfFile(const std::tstring& path) {
  DefaultFile file;
  try {
    file.Open(path.c_str(), kOpenBinaryReadOnly);
  } catch (const Exception&) {
    // A missing or unreadable file simply differs from the listed one.
    return {};
  }
  const std::uint64_t size = file.GetSize();
  std::vector<std::uint8_t> block(
      static_cast<std::size_t>(std::min<std::uint64_t>(size, kBlockSize)));
  MD5Context context;
  for (std::uint64_t done = 0; done < size;) {
    std::uint32_t read = 0;
    if (file.Read(block.data(), static_cast<std::uint32_t>(block.size()), &read) < 0) return {};
    context.Update(block.data(), read);
    done += read;
  }
  return MD5Context::ToText(context.Final());
}

void UpdateRun::Run() noexcept {
  try {
    SetTask("Getting filelist.");
    UseConfiguredProxy(manager_.client_);
    const ListDigest list = FetchFileList(manager_.client_, manager_.server_url_, manager_.file_list_);
    // With a publisher's key nothing is fetched before the release is known to be signed by it.
    if (!manager_.public_key_.empty()) {
      release_ = FetchVerifiedRelease(manager_.client_, manager_.server_url_, list,
                                      manager_.file_list_.size(), manager_.public_key_,
                                      InstalledSerial());
    }
    PrepareInstallFolder();
    manager_.client_.SetHook(&UpdateRun::Hook, reinterpret_cast<std::uintptr_t>(&manager_));
    {
      CriticalSectionLock counts(manager_.counts_lock_);
      manager_.total_files_ = static_cast<int>(manager_.file_list_.size());
      manager_.files_done_ = 0;
    }
    // The installed files are digested ahead on every core while the run goes through the list
    // in order; a stop ends the digests with the run.
    {
      DigestAhead digests(manager_.file_list_, [this] { return !manager_.running_; });
      for (std::size_t i = 0; i < manager_.file_list_.size(); ++i) {
        Process(manager_.file_list_[i], digests, i);
        if (!manager_.running_) throw DownloadManagerException("Task Aborted.", false);
      }
    }
    manager_.client_.SetHook(nullptr, 0);
    SyncWrittenFolders();
    if (release_ && !RecordInstalledSerial(release_->serial)) {
      throw DownloadManagerException("Cannot record the installed release.", true);
    }
    manager_.Report(manager_.total_files_, manager_.files_done_, "完了.", 0, 0);
    manager_.EndRun(true, {});
  } catch (const Exception& failure) {
    Fail(failure.GetText());
  } catch (...) {
    Fail("Unknown Error.");
  }
}

void UpdateRun::Fail(const std::tstring& text) {
  try {
    // The next run fetches its list unreported, as this one did.
    manager_.client_.SetHook(nullptr, 0);
    manager_.EndRun(false, text);
  } catch (...) {
    // Nothing may leave the worker; the run has ended either way.
  }
}

void UseConfiguredProxy(HttpClient& client) {
  ConfigBase config;
  config.Load(kProxyConfigName);
  client.SetProxy(DiscoverProxy(config));
}

ListDigest FetchFileList(HttpClient& client, const std::tstring& url, FileList& list) {
  client.SetUserAgent(kListUserAgent);
  ListSink document;
  client.Request(url, document);
  if (document.Size() == 0) {
    throw DownloadManagerException("List file error(Data size is zero).", true);
  }
  // Parsed apart, so that a list refused half-way appends nothing.
  FileList parsed = ParseListBlocks(document.Blocks());
  if (list.empty()) {
    list = std::move(parsed);
  } else {
    list.insert(list.end(), std::make_move_iterator(parsed.begin()),
                std::make_move_iterator(parsed.end()));
  }
  return document.Digest();
}

void UpdateRun::Process(const FileEntry& entry, DigestAhead& digests, std::size_t index) {
  SetTask(entry.path);
  manager_.Report(manager_.total_files_, manager_.files_done_, entry.path, 0, 0);
  // Opening a pipe or a device could wait for ever, and no download can be put in its place.
  if (platform::IsSpecialFile(entry.path)) {
    throw DownloadManagerException("Listed path is not a regular file : " + entry.path, true);
  }
  const std::tstring digest = digests.Take(index);
  // A stop seen at this file's turn ends the run before the file counts, whether its digest was
  // made ahead or cut short by the stop.
  if (!manager_.running_) throw DownloadManagerException("Task Aborted.", false);
  if (digest == entry.md5) return CountDone();
  const std::tstring temporary = TemporaryName();
  Download(entry, temporary);
  Install(entry, index, temporary);
  CountDone();
}

std::tstring UpdateRun::TemporaryName() const {
  // Numbered by the files done so far: one temporary file exists at a time. Listed files win a
  // clash of names, as does anything already on disk.
  for (int n = manager_.files_done_.load();; ++n) {
    std::tstring name = std::tstring::FormatNew("file%d.dl", n);
    if (!listed_.contains(name) && !platform::PathExists(name)) return name;
  }
}

void UpdateRun::PrepareInstallFolder() {
  for (const FileEntry& entry : manager_.file_list_) {
    std::tstring name = entry.path;
    name.ToBackslashes();
    name.ToLower();
    listed_.insert(name);
  }
  // One updater runs per install folder, so a temporary package found now was left by a run that
  // ended without cleaning up. A file of the game may have such a name too; it is no package.
  std::vector<platform::DirectoryItem> items;
  if (!platform::ListDirectory(".", &items)) return;
  for (const platform::DirectoryItem& item : items) {
    std::tstring name = item.name;
    name.ToLower();
    const bool numbered = name.size() > 7 && name.starts_with("file") && name.ends_with(".dl") &&
                          name.find_first_not_of("0123456789", 4) == name.size() - 3;
    if (!item.is_directory && numbered && !listed_.contains(name) && IsPackageStart(item.name)) {
      platform::RemoveFile(item.name);
    }
  }
}

void UpdateRun::PrepareFolderOf(const std::tstring& target) {
  std::tstring folder(target);
  folder.ToBackslashes();
  do {
    folder.RemoveFileSpec();
    // The folders above a noted one were noted with it.
    if (!written_folders_.insert(folder).second) return;
    platform::RemoveAbandonedReplacements(folder);
  } while (!folder.empty());
}

void UpdateRun::SyncWrittenFolders() {
  // New names must survive a power loss before the run may say it has completed.
  for (const std::tstring& folder : written_folders_) platform::SyncFolder(folder);
}

void UpdateRun::Download(const FileEntry& entry, const std::tstring& temporary) {
  // A Stop that came while the last file was being checked or installed ends the run here,
  // before another transfer begins.
  if (!manager_.running_) throw DownloadManagerException("Task Aborted.", false);
  const std::uint64_t limit = OneEntryPackageSize(entry.path, ListedSize(entry));
  HttpClient& client = manager_.client_;
  const std::tstring url =
      manager_.server_url_ + "?file=" + EncodePathForQuery(entry.path) + "&orgsize=" + entry.orgsize;
  client.SetUserAgent(entry.md5);
  TemporaryFileSink sink(temporary);
  sink.LimitTo(limit, entry.path);
  try {
    client.Request(url, sink);
  } catch (...) {
    sink.OnEnd(0);
    if (sink.Created()) RemoveTemporary(temporary);
    throw;
  }
}

void UpdateRun::Install(const FileEntry& entry, std::size_t index, const std::tstring& temporary) {
  VarneFileManager* files = Singleton<VarneFileManager>::GetInstance();
  FileHandle handle = 0;
  try {
    files->ClearFileList();
    files->ReadPackage(temporary.c_str());
    handle = files->Open(entry.path.c_str(), kOpenBinaryReadOnly);
    if (handle == 0) throw DownloadManagerException("Temp File Error.", true);
    std::tstring target = entry.path;
    std::tstring name = entry.path;
    name.ToUpper();
    if (name == kUpdaterName) target = kUpdaterSwapName;
    if (platform::IsSpecialFile(target)) {
      throw DownloadManagerException("Listed path is not a regular file : " + target, true);
    }
    std::optional<ExpectedContent> expected = ExpectedOf(entry);
    // The signed release matches the list line for line.
    if (expected && release_) expected->sha256 = release_->files[index];
    if (!expected || !RecordMayMatch(*files, entry, *expected)) throw Mismatch(entry);
    IFileManager::CreateDirectory(target);
    PrepareFolderOf(target);
    if (!files->ExtractChecked(handle, target, *expected)) throw Mismatch(entry);
    if (name == kGamePackageName) manager_.package_replaced_ = true;
    files->Close(handle);
    files->ClearFileList();
    RemoveTemporary(temporary);
  } catch (...) {
    if (handle != 0) files->Close(handle);
    RemoveTemporary(temporary);
    throw;
  }
}

void UpdateRun::CountDone() {
  CriticalSectionLock counts(manager_.counts_lock_);
  ++manager_.files_done_;
}

void UpdateRun::SetTask(const std::tstring& text) { manager_.task_text_ = text; }

int UpdateRun::Hook(int, HttpClient* client, std::uintptr_t user) {
  auto& manager = *reinterpret_cast<DownloadManager*>(user);
  manager.Report(manager.total_files_, manager.files_done_, manager.task_text_,
                 static_cast<int>(client->GetDataSize()), static_cast<int>(client->GetReceivedSize()));
  return 0;
}
