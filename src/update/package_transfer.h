// Downloads a listed file's one-entry package to a temporary file, no longer than the list allows:
// the way of installing a whole file begins with it. Used by the run's thread alone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>

#include "base/tstring.h"
#include "net/http_client.h"
#include "update/install_way.h"

class StreamedInstall;

class PackageTransfer {
 public:
  // Makes what the package's bytes also go to as they arrive, afresh for each attempt (null, or an
  // empty function: nothing).
  using Feed = std::function<std::unique_ptr<StreamedInstall>()>;

  // serves_ranges tells whether the site's server serves ranges: it does once the release's block
  // data has been read. A stop ends the transfer ("Abort by User.") through the client.
  PackageTransfer(HttpClient& client, std::function<bool()> serves_ranges, std::stop_token stop,
                  TransferProgress progress);

  // Downloads the job's package to temporary, which it creates: as one range of a kept
  // connection where the server serves ranges, and otherwise (or when anything in that reply is
  // unexpected) by the usual request. Returns the feed of the attempt that brought the package. A
  // stop before it begins throws "Task Aborted."; a package longer than the listed file's package
  // can be is cut off ("Package data exceed the listed size : <path>"); a failure removes the
  // temporary file.
  std::unique_ptr<StreamedInstall> Fetch(const InstallJob& job, const std::tstring& temporary,
                                         const Feed& feed);

 private:
  // False when the server does not serve the range.
  bool FetchAsRange(const InstallJob& job, const std::tstring& temporary, StreamedInstall* feed);
  void FetchWhole(const InstallJob& job, const std::tstring& temporary, StreamedInstall* feed);

  HttpClient& client_;
  std::function<bool()> serves_ranges_;
  std::stop_token stop_;
  TransferProgress progress_;
};
