#include "site_check.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <random>

#include "base/exception.h"
#include "base/progress_line.h"
#include "net/error_words.h"
#include "net/http_client.h"
#include "site/file_list.h"
#include "site/release_signature.h"
#include "site/site_names.h"
#include "site/trust_root.h"
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
  if (!quiet) std::printf("every file matches its list line and its signature\n");
  return 0;
}

}  // namespace

int CheckSite(const std::string& list_url, const std::string& public_key, bool quiet) {
  HttpClient client;
  UseConfiguredProxy(client);
  FileList list;
  const ListDigest digest = FetchFileList(client, list_url, list);
  unsigned long long bytes = 0;
  for (const FileEntry& entry : list) bytes += OrgSizeOf(entry).value_or(0);
  if (!quiet) std::printf("%zu files, %llu bytes\n", list.size(), bytes);
  if (public_key.empty()) return 0;
  const ReleaseSignature release =
      FetchVerifiedRelease(client, list_url, digest, list.size(), {}, ParseKeySet(public_key))
          .release;
  if (!quiet) {
    std::printf("signed: serial %llu, expires %s\n",
                static_cast<unsigned long long>(release.serial), UtcText(release.expires).c_str());
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
