// Downloads a listed file's one-entry package to a temporary file, no longer than the list allows:
// the way of installing a whole file begins with it. Used by the run's thread alone.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

#include "base/tstring.h"
#include "net/http_client.h"
#include "update/install_way.h"
#include "update/site_copies.h"

class StreamedInstall;
struct PackagePart;

// What the run knows of the packages' server, shared by its transfers on every thread.
struct PackageServer {
  // The release's block data was read and checks out, so the server answers range requests.
  std::function<bool()> serves_ranges;
  // Whether the server keeps its connections. Packages are asked for as ever until a reply shows
  // a server of HTTP/1.1, and as ever again once a reply over a kept connection shows that it
  // closes them after each reply, or does not frame a package as such a server does.
  enum class Connections { kUnknown, kKept, kClosed };
  std::atomic<Connections> connections{Connections::kUnknown};
  // The copies of the site a package may come from; null: the list's own site alone.
  SiteCopies* copies = nullptr;
};

class PackageTransfer {
 public:
  // Makes what the package's bytes also go to as they arrive, afresh for each attempt (null, or an
  // empty function: nothing).
  using Feed = std::function<std::unique_ptr<StreamedInstall>()>;

  // A stop ends the transfer ("Abort by User.") through the client.
  PackageTransfer(HttpClient& client, PackageServer& server, std::stop_token stop,
                  TransferProgress progress);
  ~PackageTransfer();

  // Downloads the job's package to temporary, which it creates: as one range of a kept
  // connection where the server serves ranges, otherwise over a kept connection while the server
  // keeps them, and otherwise (or when anything in such a reply is unexpected) by the usual
  // request. Returns the feed of the attempt that brought the package. A
  // stop before it begins throws "Task Aborted."; a package longer than the listed file's package
  // can be is cut off ("Package data exceed the listed size : <path>"); a failure removes the
  // temporary file.
  std::unique_ptr<StreamedInstall> Fetch(const InstallJob& job, const std::tstring& temporary,
                                         const Feed& feed);
  // The same from the server's copies, one after another while a copy fails in a way another
  // copy may not (see SiteCopies::Blame); job's package URL becomes that of the copy that brought
  // the package. A copy cut off by the network after the package's length was framed leaves its
  // bytes in temporary, and the next copy is asked for the rest as one range: a package so
  // pieced together feeds no install (nullptr), as the bytes before were not fed to it, and is
  // Resumed. Any other attempt is made afresh. Throws when every copy is left, naming what each
  // did.
  std::unique_ptr<StreamedInstall> FetchFromCopies(InstallJob& job, const std::tstring& temporary,
                                                   const Feed& feed);
  // The copy the last FetchFromCopies brought the package from; none without copies.
  const std::optional<SiteCopies::Use>& Copy() const { return copy_; }
  // The last FetchFromCopies brought the package from more than one copy: should it fail its
  // check, no one copy is known to have sent the bad bytes.
  bool Resumed() const { return resumed_; }

 private:
  // One way of fetching the package: false when it did not bring it.
  using Way = bool (PackageTransfer::*)(const InstallJob&, const std::tstring&, StreamedInstall*);
  // The install fed by the package that the way brought; nothing when it did not bring one (then
  // the usual request fetches it again, and reports what is wrong as it always did).
  std::optional<std::unique_ptr<StreamedInstall>> Try(Way way, const InstallJob& job,
                                                      const std::tstring& temporary,
                                                      const Feed& feed);
  // A server that does not answer in time is left for another copy of the site, rather than
  // asked again another way.
  bool AnotherCopyTakesOver(const Exception& failure) const;
  // False when the server does not serve the range.
  bool FetchAsRange(const InstallJob& job, const std::tstring& temporary, StreamedInstall* feed);
  // Over a kept connection; notes a server that closes its connections.
  bool FetchKept(const InstallJob& job, const std::tstring& temporary, StreamedInstall* feed);
  void FetchWhole(const InstallJob& job, const std::tstring& temporary, StreamedInstall* feed);
  // Asks the copy for the rest of the package that part_ holds the start of; a copy that sends
  // the whole package instead (a 200) is asked for it afresh.
  std::unique_ptr<StreamedInstall> FetchRest(const InstallJob& job, const std::tstring& temporary,
                                             const Feed& feed);
  // The copy that cut the transfer off by failing left a start of the package that another copy
  // can go on from.
  bool Resumable(const Exception& failure) const;
  // Closes and removes what part_ holds, if anything.
  void DropPart(const std::tstring& temporary);

  HttpClient& client_;
  PackageServer& server_;
  std::stop_token stop_;
  TransferProgress progress_;
  std::uint64_t received_ = 0;            // by the current attempt
  std::uint64_t base_ = 0;                // of the package, before the current attempt
  const SiteCopies::Use* use_ = nullptr;  // the copy the current attempt is on
  std::optional<SiteCopies::Use> copy_;
  bool resumed_ = false;
  // What the attempts on the site's copies brought so far; null outside FetchFromCopies with
  // several copies, where a sink's file goes with it as ever.
  std::unique_ptr<PackagePart> part_;
};
