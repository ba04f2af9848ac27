#include "update/package_transfer.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "base/exception.h"
#include "site/site_names.h"
#include "storage/default_file.h"
#include "storage/package_format.h"
#include "update/streamed_install.h"

// A package as the attempts on the site's copies bring it: its temporary file, kept open between
// the attempts so that no other file can take its place, and what it holds.
struct PackagePart {
  DefaultFile file;
  bool made = false;       // the file is the transfer's own, to be removed when dropped
  std::uint64_t held = 0;  // the package's first bytes, in the file
  std::optional<std::uint64_t> length;  // the package's, as the copy that began it framed it
};

namespace {

// Writes a downloaded package to the temporary file as it arrives, and hands the bytes to the
// install that writes the file meanwhile. The file goes with the sink unless kept; a name that
// another file took in the meantime is never removed. With a part, the file and its bytes are
// the part's: a sink not kept leaves them to the transfer, which goes on from them or drops them,
// and a sink of a part that holds bytes goes on after them.
class TemporaryFileSink : public IHttpBodySink {
 public:
  // No package of the listed file is longer than limit: a longer download is cut off there, so
  // that a server cannot fill the disk.
  TemporaryFileSink(const std::tstring& path, std::uint64_t limit, const std::tstring& listed_path,
                    StreamedInstall* install, PackagePart* part)
      : path_(path),
        part_(part),
        limit_(limit),
        written_(part != nullptr ? part->held : 0),
        listed_path_(listed_path),
        install_(install) {}
  ~TemporaryFileSink() noexcept(false) override {
    if (part_ != nullptr && !kept_) return;
    File().Close();
    if (created_ && !kept_) platform::RemoveFile(path_);
  }
  void OnBegin(bool announced, std::uint32_t length) override {
    if (announced && length > limit_) RefuseLength();
    if (part_ != nullptr && part_->file.IsOpen()) return;
    try {
      File().Open(path_.c_str(), kOpenBinaryNewWriteOnly);
    } catch (const Exception&) {
      // A package that could not be stored cannot be opened either, and that is what the player
      // is told, whatever kept the file from being made.
      throw VarneFileSystemException(std::tstring::FormatNew(kPackageCannotOpen, path_.c_str()),
                                     true);
    }
    created_ = true;
    if (part_ != nullptr) {
      part_->made = true;
      if (announced) part_->length = length;
    }
  }
  void OnData(const std::uint8_t* bytes, std::size_t size) override {
    if (size > limit_ - written_) RefuseLength();
    // A short write (a full disk) must not leave a cut package to be installed.
    if (File().Write(bytes, static_cast<std::uint32_t>(size)) != kResultOk) {
      throw Caused(DownloadManagerException("Temp File Error.", true), ErrorCause::kDisk);
    }
    written_ += size;
    if (part_ != nullptr) part_->held = written_;
    if (install_ != nullptr) install_->Feed(bytes, size);
  }
  void OnEnd(std::uint32_t) override { File().Close(); }
  // The whole package is in: it stays for the install.
  void Keep() { kept_ = true; }

 private:
  [[noreturn]] void RefuseLength() const {
    throw DownloadManagerException("Package data exceed the listed size : " + listed_path_, true);
  }
  DefaultFile& File() { return part_ != nullptr ? part_->file : file_; }

  std::tstring path_;
  DefaultFile file_;
  PackagePart* part_;
  std::uint64_t limit_;
  std::uint64_t written_;
  std::tstring listed_path_;
  StreamedInstall* install_;
  bool created_ = false;
  bool kept_ = false;
};

// Hands a package, or its rest, fetched as one range to the temporary file's sink, with its
// progress: the package's bytes so far, from `from`.
class WholeRangeSink : public IHttpRangeSink {
 public:
  WholeRangeSink(TemporaryFileSink& sink, std::uint64_t from,
                 std::function<void(std::uint64_t)> progress)
      : sink_(sink), progress_(std::move(progress)), received_(from) {}
  void OnRangeData(std::uint64_t, const std::uint8_t* bytes, std::size_t size) override {
    if (!std::exchange(begun_, true)) sink_.OnBegin(false, 0);
    sink_.OnData(bytes, size);
    received_ += size;
    progress_(received_);
  }

 private:
  TemporaryFileSink& sink_;
  std::function<void(std::uint64_t)> progress_;
  std::uint64_t received_;
  bool begun_ = false;
};

// Hands a package's body to the temporary file's sink, and reports its progress.
class ReportingSink : public IHttpBodySink {
 public:
  ReportingSink(IHttpBodySink& sink, const TransferProgress& progress)
      : sink_(sink), progress_(progress) {}
  void OnBegin(bool announced, std::uint32_t length) override {
    size_ = length;
    sink_.OnBegin(announced, length);
  }
  void OnData(const std::uint8_t* bytes, std::size_t size) override {
    sink_.OnData(bytes, size);
    received_ += size;
    progress_(size_, received_);
  }
  void OnEnd(std::uint32_t size) override { sink_.OnEnd(size); }

 private:
  IHttpBodySink& sink_;
  const TransferProgress& progress_;
  std::uint64_t size_ = 0;
  std::uint64_t received_ = 0;
};

// Reports a request's progress through the client's hook while it lives. The client has no hook
// outside it, on every way out: a range reply reports through its sink (the hook would see the
// held document's figures), and the next run fetches its list unreported.
class ProgressHook {
 public:
  ProgressHook(HttpClient& client, const TransferProgress& progress) : client_(client) {
    client_.SetHook(&Relay, reinterpret_cast<std::uintptr_t>(&progress));
  }
  ~ProgressHook() { client_.SetHook(nullptr, 0); }
  ProgressHook(const ProgressHook&) = delete;
  ProgressHook& operator=(const ProgressHook&) = delete;

 private:
  static int Relay(int, HttpClient* client, std::uintptr_t progress) {
    (*reinterpret_cast<const TransferProgress*>(progress))(client->GetDataSize(),
                                                           client->GetReceivedSize());
    return 0;
  }

  HttpClient& client_;
};

// What bounds the download of a file whose size field nothing vouches for: the server may mean
// anything by that field, so the file is fetched all the same, up to a size no game file reaches.
constexpr std::uint64_t kUnknownSizeCap = std::uint64_t{2} << 30;

// The most a package of the listed file can hold: a one-entry package of its name as the list
// spells it (the longer spelling) and of its size where that is vouched for, otherwise of the
// larger of the size field's number and the fixed cap.
std::uint64_t LimitOf(const InstallJob& job, std::optional<std::uint64_t> vouched_size) {
  const std::uint64_t size =
      vouched_size.value_or(std::max(OrgSizeOf(job.entry).value_or(0), kUnknownSizeCap));
  return OneEntryPackageSize(job.entry.Listed(), size);
}

// The limit of a whole download: the size is vouched for where the job expects one.
std::uint64_t LimitOf(const InstallJob& job) {
  return LimitOf(job, job.expected ? job.expected->size : std::nullopt);
}

}  // namespace

PackageTransfer::PackageTransfer(HttpClient& client, PackageServer& server, std::stop_token stop,
                                 TransferProgress progress)
    : client_(client),
      server_(server),
      stop_(std::move(stop)),
      progress_([this, progress = std::move(progress)](std::uint64_t size, std::uint64_t received) {
        // Only what this attempt brought counts for its copy.
        const std::uint64_t brought = received - std::min(received, base_);
        if (brought > received_ && use_ != nullptr) server_.copies->Heard(*use_);
        received_ = brought;
        if (progress) progress(size, received);
      }) {}

PackageTransfer::~PackageTransfer() = default;

std::unique_ptr<StreamedInstall> PackageTransfer::FetchFromCopies(InstallJob& job,
                                                                  const std::tstring& temporary,
                                                                  const Feed& feed) {
  SiteCopies* copies = server_.copies;
  if (copies == nullptr || !copies->Several()) return Fetch(job, temporary, feed);
  part_ = std::make_unique<PackagePart>();
  resumed_ = false;
  ErrorCause last = ErrorCause::kUnknown;
  while (const std::optional<SiteCopies::Use> use = copies->Pick()) {
    job.package_url = PackageUrl(copies->ListUrl(use->copy), job.entry.Listed(), job.entry.orgsize);
    base_ = part_->held;
    received_ = 0;
    use_ = &*use;
    try {
      std::unique_ptr<StreamedInstall> install =
          base_ > 0 ? FetchRest(job, temporary, feed) : Fetch(job, temporary, feed);
      use_ = nullptr;
      copies->Ended(*use, received_);
      copy_ = use;
      part_.reset();
      return install;
    } catch (const Exception& failure) {
      use_ = nullptr;
      copies->Ended(*use, received_);
      const bool blamed = copies->Blame(*use, failure);
      if (!blamed || !Resumable(failure)) DropPart(temporary);
      if (!blamed) {
        part_.reset();
        throw;
      }
      last = failure.Cause();
    }
  }
  DropPart(temporary);
  part_.reset();
  throw Caused(DownloadManagerException(
                   "No copy of the site served " + job.entry.path + copies->Account(), true),
               last);
}

std::unique_ptr<StreamedInstall> PackageTransfer::FetchRest(const InstallJob& job,
                                                            const std::tstring& temporary,
                                                            const Feed& feed) {
  ThrowIfStopped(stop_);
  client_.SetUserAgent(job.entry.md5);
  const std::uint64_t length = *part_->length;
  {
    TemporaryFileSink sink(temporary, LimitOf(job), job.entry.path, nullptr, part_.get());
    WholeRangeSink rest(sink, part_->held,
                        [this, length](std::uint64_t received) { progress_(length, received); });
    if (client_.RequestRange(job.package_url, part_->held, length - 1, rest).served) {
      sink.Keep();
      resumed_ = true;
      return nullptr;
    }
  }
  DropPart(temporary);
  base_ = 0;
  return Fetch(job, temporary, feed);
}

bool PackageTransfer::Resumable(const Exception& failure) const {
  return failure.Cause() == ErrorCause::kNetwork && part_->file.IsOpen() && part_->length &&
         part_->held > 0 && part_->held < *part_->length;
}

void PackageTransfer::DropPart(const std::tstring& temporary) {
  part_->file.Close();
  if (std::exchange(part_->made, false)) platform::RemoveFile(temporary);
  part_->held = 0;
  part_->length.reset();
}

std::unique_ptr<StreamedInstall> PackageTransfer::Fetch(const InstallJob& job,
                                                        const std::tstring& temporary,
                                                        const Feed& feed) {
  // A Stop that came while the last file was being checked or installed ends the run here,
  // before another transfer begins.
  ThrowIfStopped(stop_);
  client_.SetUserAgent(job.entry.md5);
  // A server that serves the release's block data serves ranges, over kept connections: there
  // the whole package comes as one range, without a connection of its own.
  if (OrgSizeOf(job.entry) && server_.serves_ranges()) {
    if (auto install = Try(&PackageTransfer::FetchAsRange, job, temporary, feed)) {
      return std::move(*install);
    }
  }
  if (server_.connections == PackageServer::Connections::kKept) {
    if (auto install = Try(&PackageTransfer::FetchKept, job, temporary, feed)) {
      return std::move(*install);
    }
  }
  std::unique_ptr<StreamedInstall> install = feed ? feed() : nullptr;
  FetchWhole(job, temporary, install.get());
  return install;
}

std::optional<std::unique_ptr<StreamedInstall>> PackageTransfer::Try(Way way, const InstallJob& job,
                                                                     const std::tstring& temporary,
                                                                     const Feed& feed) {
  std::unique_ptr<StreamedInstall> install = feed ? feed() : nullptr;
  if ((this->*way)(job, temporary, install.get())) return install;
  // The usual request fetches the package afresh.
  if (part_ != nullptr) DropPart(temporary);
  return std::nullopt;
}

bool PackageTransfer::AnotherCopyTakesOver(const Exception& failure) const {
  return server_.copies != nullptr && server_.copies->Several() &&
         failure.Cause() == ErrorCause::kNetwork;
}

bool PackageTransfer::FetchAsRange(const InstallJob& job, const std::tstring& temporary,
                                   StreamedInstall* feed) {
  // Only a server of the release's block data, bound to this very list, serves ranges: the list's
  // size fields are sizes.
  const std::uint64_t limit = LimitOf(job, OrgSizeOf(job.entry));
  TemporaryFileSink sink(temporary, limit, job.entry.path, feed, part_.get());
  // The range asked for is the package's whole length: the reply is judged to hold exactly it.
  if (part_ != nullptr) part_->length = limit;
  WholeRangeSink whole(sink, 0,
                       [this, limit](std::uint64_t received) { progress_(limit, received); });
  try {
    if (!client_.RequestRange(job.package_url, 0, limit - 1, whole).served) return false;
  } catch (const Exception& failure) {
    // Anything unexpected on the block path, the bytes included, leaves it to the usual request.
    if (!failure.IsError() || AnotherCopyTakesOver(failure)) throw;
    return false;
  }
  sink.Keep();
  return true;
}

bool PackageTransfer::FetchKept(const InstallJob& job, const std::tstring& temporary,
                                StreamedInstall* feed) {
  TemporaryFileSink sink(temporary, LimitOf(job), job.entry.path, feed, part_.get());
  ReportingSink reporting(sink, progress_);
  try {
    if (!client_.RequestKept(job.package_url, reporting)) {
      server_.connections = PackageServer::Connections::kClosed;
    }
  } catch (const HttpClientException& failure) {
    // A reply not framed as a server that keeps its connections frames one (or a refusal, which
    // the usual request reports as it always did): the server is asked as ever from now on. What
    // the package's bytes are refused for stays the failure.
    if (!failure.IsError() || AnotherCopyTakesOver(failure)) throw;
    server_.connections = PackageServer::Connections::kClosed;
    return false;
  }
  sink.Keep();
  return true;
}

void PackageTransfer::FetchWhole(const InstallJob& job, const std::tstring& temporary,
                                 StreamedInstall* feed) {
  TemporaryFileSink sink(temporary, LimitOf(job), job.entry.path, feed, part_.get());
  const ProgressHook hook(client_, progress_);
  client_.Request(job.package_url, sink);
  sink.Keep();
  // A server that answers in HTTP/1.1 keeps its connections for requests of that version.
  auto unknown = PackageServer::Connections::kUnknown;
  server_.connections.compare_exchange_strong(unknown,
                                              client_.GetStatusLine().starts_with("HTTP/1.1 ")
                                                  ? PackageServer::Connections::kKept
                                                  : PackageServer::Connections::kClosed);
}
