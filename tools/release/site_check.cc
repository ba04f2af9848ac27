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
#include "release_copies.h"
#include "site/file_list.h"
#include "site/mirror_list.h"
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
  std::fflush(stdout);
  for (const std::string& fault : faults) {
    if (fault.empty()) continue;
    std::fprintf(stderr, "players cannot fetch %s\n", fault.c_str());
    ++failed;
  }
  return failed;
}

// A document beside the list at list_url; none when the server does not hand it out.
std::optional<std::string> FetchBeside(HttpClient& client, const std::string& list_url,
                                       BesideList which, std::size_t limit) {
  try {
    return FetchSignatureDocument(client, UrlBesideList(list_url, which), limit);
  } catch (const Exception& failure) {
    if (!failure.IsError()) throw;
    return std::nullopt;
  }
}

// A list as players read it, and the release it belongs to.
struct ListRead {
  FileList list;
  ReleaseIdentity identity;
  std::optional<ReleaseSignature> release;  // verified: read with a public key
};

// Reads the list at list_url as players read it: with a public key, its release verified first (a
// list met between the publisher's renames is read again). Without one, `identify` also reads the
// serial that the signature document beside the list says.
ListRead ReadList(const std::string& list_url, const std::string& public_key, bool identify) {
  HttpClient client;
  UseConfiguredProxy(client);
  ListRead read;
  if (public_key.empty()) {
    const ListDigest digest = FetchFileList(client, list_url, read.list);
    read.identity = IdentityOf(
        digest, identify ? FetchBeside(client, list_url, BesideList::kSignature, kMaxSignatureSize)
                         : std::nullopt);
  } else {
    const SignedList signed_list =
        FetchSignedList(client, list_url, read.list, {}, ParseKeySet(public_key));
    read.release = signed_list.trusted.release;
    read.identity = {signed_list.list, read.release->serial};
  }
  return read;
}

// What players would fail to take of a list: packages they cannot fetch, or (when installed into a
// scratch folder) files that do not install as listed.
struct ListCheck {
  std::size_t files = 0;
  std::size_t unfetchable = 0;
  bool installs = true;

  std::string Fault() const {
    if (unfetchable > 0) {
      return std::to_string(unfetchable) + " of " + std::to_string(files) +
             " packages cannot be fetched as listed";
    }
    return installs ? "" : "its files do not install as listed";
  }
};

// Asks for the start of every package of a list read and, with `install` and every package there,
// installs every file into a scratch folder. Says each fault found as it goes.
ListCheck CheckListRead(const std::string& list_url, const ListRead& read,
                        const std::string& public_key, bool install, bool quiet) {
  unsigned long long bytes = 0;
  for (const FileEntry& entry : read.list) bytes += OrgSizeOf(entry).value_or(0);
  if (!quiet) std::printf("%zu files, %llu bytes\n", read.list.size(), bytes);
  ListCheck check{read.list.size(), CheckPackageStarts(list_url, read.list)};
  if (check.unfetchable > 0) return check;
  if (read.release && !quiet) {
    std::printf("signed: serial %llu, expires %s\n",
                static_cast<unsigned long long>(read.release->serial),
                UtcText(read.release->expires).c_str());
  }
  check.installs = !install || InstallIntoScratchFolder(list_url, public_key, quiet) == 0;
  return check;
}

// Reads a copy's list as CheckCopies does; says on standard error why it cannot, and then gives
// none.
std::optional<ListRead> ReadCopy(const std::string& name, const std::string& list_url,
                                 const std::string& public_key) {
  try {
    return ReadList(list_url, public_key, true);
  } catch (const Exception& failure) {
    std::fprintf(stderr, "%s%s: %s\n", name.c_str(),
                 public_key.empty() ? "unreachable" : "unreachable or refused",
                 ExplainedError(failure.GetText()).c_str());
    return std::nullopt;
  }
}

// A copy's one line: its release and what players cannot take of it; on standard error when the
// copy fails. Returns whether it passed.
bool SayCopyChecked(const std::string& release, const std::string& fault, bool same, bool quiet) {
  const bool passed = same && fault.empty();
  const std::string line =
      release + (fault.empty() ? "; players can fetch every package" : "; " + fault);
  std::fflush(stdout);
  if (!passed || !quiet) std::fprintf(passed ? stdout : stderr, "%s\n", line.c_str());
  return passed;
}

}  // namespace

int CheckSite(const std::string& list_url, const std::string& public_key, bool deep, bool quiet) {
  const ListCheck check = CheckListRead(list_url, ReadList(list_url, public_key, false), public_key,
                                        deep || !public_key.empty(), quiet);
  if (check.unfetchable > 0) std::fprintf(stderr, "%s\n", check.Fault().c_str());
  return check.Fault().empty() ? 0 : 1;
}

int CheckCopies(const std::vector<std::string>& list_urls, const std::string& public_key, bool deep,
                bool quiet) {
  std::optional<std::size_t> first;
  ReleaseIdentity first_release;
  int status = 0;
  for (std::size_t i = 0; i < list_urls.size(); ++i) {
    const std::string name = "copy " + std::to_string(i + 1) + ": ";
    if (!quiet) std::printf("%s%s\n", name.c_str(), list_urls[i].c_str());
    std::fflush(stdout);  // each copy's lines stay under its name where both streams meet
    const std::optional<ListRead> read = ReadCopy(name, list_urls[i], public_key);
    if (!read) {
      status = 1;
      continue;
    }
    const bool install = i == 0 && (deep || !public_key.empty());
    const std::string fault =
        CheckListRead(list_urls[i], *read, public_key, install, quiet).Fault();
    const bool reference = !first;
    if (reference) {
      first = i;
      first_release = read->identity;
    }
    const std::string release = reference ? "the release the other copies are compared with"
                                          : Likeness(read->identity, first_release, *first);
    if (!SayCopyChecked(name + release, fault, read->identity == first_release, quiet)) status = 1;
  }
  return status;
}

SiteDocuments FetchSiteDocuments(const std::string& list_url) {
  HttpClient client;
  UseConfiguredProxy(client);
  SiteDocuments documents;
  // The list is read whole, as the signature covers it; its size is bounded as the updater's is.
  documents.list = FetchSignatureDocument(client, list_url, std::size_t{256} << 20);
  documents.signature = FetchBeside(client, list_url, BesideList::kSignature, kMaxSignatureSize);
  documents.roots = FetchBeside(client, list_url, BesideList::kRoots, kMaxRootsSize);
  documents.timestamp = FetchBeside(client, list_url, BesideList::kTimestamp, kMaxTimestampSize);
  documents.mirrors = FetchBeside(client, list_url, BesideList::kMirrors, kMaxMirrorListSize);
  return documents;
}
