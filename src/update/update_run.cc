#include "update/update_run.h"

#include <vector>

#include "base/exception.h"
#include "base/utf8string.h"
#include "config/config_base.h"
#include "platform/file.h"
#include "storage/default_file.h"
#include "storage/varne_file_manager.h"
#include "storage/md5.h"
#include "update/install_names.h"
#include "update/proxy_discovery.h"

namespace {

constexpr char kListUserAgent[] = "RovanSevenFileListClient";
constexpr std::uint32_t kBlockSize = 1 << 20;
// Binary, write-only, created when absent and emptied when present.
constexpr int kOpenTemporary = 0x8000 | 0x0001 | 0x0100 | 0x0200;

// Writes a downloaded body to the temporary file as it arrives.
class TemporaryFileSink : public IHttpBodySink {
 public:
  explicit TemporaryFileSink(const std::tstring& path) : path_(path) {}
  void OnBegin(bool, std::uint32_t) override { file_.Open(path_.c_str(), kOpenTemporary); }
  void OnData(const std::uint8_t* bytes, std::size_t size) override {
    // A short write (a full disk) must not leave a cut package to be installed.
    if (file_.Write(bytes, static_cast<std::uint32_t>(size)) != kResultOk) {
      throw DownloadManagerException("Temp File Error.", true);
    }
  }
  void OnEnd(std::uint32_t) override { file_.Close(); }

 private:
  std::tstring path_;
  DefaultFile file_;
};

void RemoveTemporary(const std::tstring& path) { platform::RemoveFile(path); }

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
  try {
    DefaultFile file;
    file.Open(path.c_str(), kOpenBinaryReadOnly);
    const std::uint64_t size = file.GetSize();
    std::vector<std::uint8_t> block(static_cast<std::size_t>(std::min<std::uint64_t>(size, kBlockSize)));
    MD5Context context;
    for (std::uint64_t done = 0; done < size;) {
      std::uint32_t read = 0;
      if (file.Read(block.data(), static_cast<std::uint32_t>(block.size()), &read) < 0) return {};
      context.Update(block.data(), read);
      done += read;
    }
    return MD5Context::ToText(context.Final());
  } catch (...) {
    // A missing or unreadable file simply differs from the listed one.
    return {};
  }
}

void UpdateRun::Run() noexcept {
  try {
    SetTask("Getting filelist.");
    UseConfiguredProxy(manager_.client_);
    FetchFileList(manager_.client_, manager_.server_url_, manager_.file_list_);
    manager_.client_.SetHook(&UpdateRun::Hook, reinterpret_cast<std::uintptr_t>(&manager_));
    {
      CriticalSectionLock counts(manager_.counts_lock_);
      manager_.total_files_ = static_cast<int>(manager_.file_list_.size());
      manager_.files_done_ = 0;
    }
    for (const FileEntry& entry : manager_.file_list_) {
      Process(entry);
      if (!manager_.running_) throw DownloadManagerException("Task Aborted.", false);
    }
    manager_.client_.SetHook(nullptr, 0);
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

void FetchFileList(HttpClient& client, const std::tstring& url, FileList& list) {
  client.SetUserAgent(kListUserAgent);
  client.Request(url);
  const std::uint32_t size = client.GetDataSize();
  if (size == 0) throw DownloadManagerException("List file error(Data size is zero).", true);
  std::vector<char> document(size);
  client.ReadData(size, document.data());
  utf8string text;
  text.SetUtf8Data(document.data(), size);
  ParseFileList(text.GetString(), list);
}

void UpdateRun::Process(const FileEntry& entry) {
  SetTask(entry.path);
  manager_.Report(manager_.total_files_, manager_.files_done_, entry.path, 0, 0);
  if (DigestOfFile(entry.path) == entry.md5) return CountDone();
  // Numbered by the files done so far: one temporary file exists at a time.
  const std::tstring temporary = std::tstring::FormatNew("file%d.dl", manager_.files_done_.load());
  Download(entry, temporary);
  Install(entry, temporary);
  CountDone();
}

void UpdateRun::Download(const FileEntry& entry, const std::tstring& temporary) {
  HttpClient& client = manager_.client_;
  const std::tstring url =
      manager_.server_url_ + "?file=" + EncodePathForQuery(entry.path) + "&orgsize=" + entry.orgsize;
  client.SetUserAgent(entry.md5);
  TemporaryFileSink sink(temporary);
  try {
    client.Request(url, sink);
  } catch (...) {
    sink.OnEnd(0);
    RemoveTemporary(temporary);
    throw;
  }
}

void UpdateRun::Install(const FileEntry& entry, const std::tstring& temporary) {
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
    if (name == kGamePackageName) manager_.package_replaced_ = true;
    if (name == kUpdaterName) target = kUpdaterSwapName;
    IFileManager::CreateDirectory(target);
    files->ExtractToFile(handle, target);
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
