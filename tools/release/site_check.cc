#include "site_check.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "base/exception.h"
#include "base/hex.h"
#include "base/progress_line.h"
#include "net/error_words.h"
#include "net/http_client.h"
#include "site/file_list.h"
#include "site/release_signature.h"
#include "site/site_names.h"
#include "site/trust_root.h"
#include "storage/one_entry_package.h"
#include "storage/varne_file_manager.h"
#include "update/release_protocol.h"
#include "update/update_run.h"

namespace {

// Runs a whole signed update into an empty folder: every package is fetched, and every file is
// checked against its list line and its signed digest exactly as players' updaters check it.
int InstallIntoScratchFolder(const std::string& url, const std::string& public_key, bool quiet) {
  namespace fs = std::filesystem;
  const fs::path previous = fs::current_path();
  const fs::path scratch =
      fs::temp_directory_path() / ("varne-check-" + std::to_string(std::time(nullptr)) + "-" +
                                   std::to_string(std::random_device{}()));
  fs::create_directories(scratch);
  fs::current_path(scratch);
  UpdateOutcome outcome;
  {
    ProgressLine line(std::cerr, ProgressOutputFor(quiet));
    const auto report = [&line](int total, int done, const std::tstring& text, std::uint64_t size,
                                std::uint64_t received) {
      line.Update({static_cast<std::uint64_t>(std::max(done, 0)),
                   static_cast<std::uint64_t>(std::max(total, 0)), received, size},
                  text);
    };
    VarneFileManager files;
    HttpClient client;
    outcome = UpdateRun({.files = files,
                         .client = client,
                         .list_url = url,
                         .public_key = public_key,
                         .stop = {},
                         .report = report})
                  .Run();
  }
  fs::current_path(previous);
  fs::remove_all(scratch);
  if (!outcome.completed) {
    std::fprintf(stderr, "%s\n", ExplainedError(outcome.error).c_str());
    return 1;
  }
  if (!quiet) {
    std::printf(public_key.empty() ? "every file matches its list line\n"
                                   : "every file matches its list line and its signature\n");
  }
  return 0;
}

// How many packages' starts are asked for side by side, each over a connection of its own.
constexpr std::size_t kStartFetchers = 8;

// Keeps a package's first bytes, from a range reply or from the start of a whole one, which it
// ends once it has them.
class StartSink : public IHttpRangeSink, public IHttpBodySink {
 public:
  void OnRangeData(std::uint64_t, const std::uint8_t* bytes, std::size_t size) override {
    Keep(bytes, size);
  }
  void OnBegin(bool, std::uint32_t) override {}
  void OnData(const std::uint8_t* bytes, std::size_t size) override {
    Keep(bytes, size);
    if (bytes_.size() == OneEntryStart::kSize) {
      enough_ = true;
      throw DownloadManagerException("enough.", true);
    }
  }
  void OnEnd(std::uint32_t) override {}

  bool Enough() const { return enough_; }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  void Keep(const std::uint8_t* bytes, std::size_t size) {
    size = std::min(size, OneEntryStart::kSize - bytes_.size());
    bytes_.insert(bytes_.end(), bytes, bytes + size);
  }

  std::vector<std::uint8_t> bytes_;
  bool enough_ = false;
};

// Why a player's updater could not take the listed file's package from its start; empty when it
// could. A server that ignores ranges is asked for the whole package, as players' updaters ask.
std::string PackageStartFault(HttpClient& client, const std::string& url, const FileEntry& entry) {
  StartSink sink;
  try {
    if (!client.RequestRange(url, 0, OneEntryStart::kSize - 1, sink).served) {
      client.Request(url, static_cast<IHttpBodySink&>(sink));
    }
  } catch (const Exception& failure) {
    if (!sink.Enough()) return ExplainedError(failure.GetText());
  }
  const std::optional<std::uint64_t> size = OrgSizeOf(entry);
  MD5Bytes md5{};
  if (sink.Bytes().size() < OneEntryStart::kSize || !size || !DecodeHex(entry.md5, md5) ||
      !OneEntryStart::Decode(sink.Bytes().data()).Holds(*size, md5)) {
    return "not the package of its list line (" + entry.orgsize + " bytes, MD5 " + entry.md5 + ")";
  }
  return {};
}

// Asks for the start of every listed file's package, side by side, and names on standard error
// each one that players could not take. Returns how many.
std::size_t CheckPackageStarts(const std::string& list_url, const FileList& list) {
  std::vector<std::string> faults(list.size());
  std::atomic<std::size_t> next{0};
  const auto fetcher = [&] {
    HttpClient client;
    UseConfiguredProxy(client);
    for (std::size_t i; (i = next++) < list.size();) {
      const FileEntry entry = list[i];
      const std::string url = PackageUrl(list_url, entry.Listed(), entry.orgsize);
      const std::string fault = PackageStartFault(client, url, entry);
      if (!fault.empty()) faults[i] = entry.Listed() + ": " + fault + " (" + url + ")";
    }
  };
  std::vector<std::thread> fetchers;
  for (std::size_t i = 0; i < std::min(kStartFetchers, list.size()); ++i) {
    fetchers.emplace_back(fetcher);
  }
  for (std::thread& thread : fetchers) thread.join();
  std::size_t failed = 0;
  for (const std::string& fault : faults) {
    if (fault.empty()) continue;
    std::fprintf(stderr, "players cannot fetch %s\n", fault.c_str());
    ++failed;
  }
  return failed;
}

}  // namespace

int CheckSite(const std::string& list_url, const std::string& public_key, bool deep, bool quiet) {
  HttpClient client;
  UseConfiguredProxy(client);
  FileList list;
  // Read as players read it: a list met between the publisher's renames is read again.
  std::optional<ReleaseSignature> release;
  if (public_key.empty()) {
    FetchFileList(client, list_url, list);
  } else {
    release = FetchSignedList(client, list_url, list, {}, ParseKeySet(public_key)).trusted.release;
  }
  unsigned long long bytes = 0;
  for (const FileEntry& entry : list) bytes += OrgSizeOf(entry).value_or(0);
  if (!quiet) std::printf("%zu files, %llu bytes\n", list.size(), bytes);
  if (const std::size_t failed = CheckPackageStarts(list_url, list); failed > 0) {
    std::fprintf(stderr, "%zu of %zu packages cannot be fetched as listed\n", failed, list.size());
    return 1;
  }
  if (public_key.empty()) return deep ? InstallIntoScratchFolder(list_url, "", quiet) : 0;
  if (!quiet) {
    std::printf("signed: serial %llu, expires %s\n",
                static_cast<unsigned long long>(release->serial),
                UtcText(release->expires).c_str());
  }
  return InstallIntoScratchFolder(list_url, public_key, quiet);
}

SiteDocuments FetchSiteDocuments(const std::string& list_url) {
  HttpClient client;
  UseConfiguredProxy(client);
  SiteDocuments documents;
  // The list is read whole, as the signature covers it; its size is bounded as the updater's is.
  documents.list = FetchSignatureDocument(client, list_url, std::size_t{256} << 20);
  const auto beside = [&](BesideList which, std::size_t limit) -> std::optional<std::string> {
    try {
      return FetchSignatureDocument(client, UrlBesideList(list_url, which), limit);
    } catch (const Exception& failure) {
      if (!failure.IsError()) throw;
      return std::nullopt;
    }
  };
  documents.signature = beside(BesideList::kSignature, kMaxSignatureSize);
  documents.roots = beside(BesideList::kRoots, kMaxRootsSize);
  documents.timestamp = beside(BesideList::kTimestamp, kMaxTimestampSize);
  return documents;
}
