// One update run: fetch the file list, then for each listed file check the installed copy by MD5
// and, when it differs, bring the new file and put it in place. Runs on the caller's thread in the
// current directory, which is the install folder; never lets a failure escape, but hands it back
// in its outcome.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <vector>

#include "base/tstring.h"
#include "res/error_causes.h"
#include "update/fetch_totals.h"
#include "update/file_stamps.h"

class HttpClient;
class VarneFileManager;

// Called on the run's thread: the files listed and done, the task's text (valid only during the
// call), and the transfer's size and bytes received (0 and 0 outside a transfer). A file that only
// its missing blocks bring reports the bytes it needs fetched as the size.
using RunReport = std::function<void(int total, int done, const std::tstring& text,
                                     std::uint64_t size, std::uint64_t received)>;

// Everything a run touches besides the install folder, given by its owner.
struct UpdateContext {
  // Opens each downloaded package; the process's one file manager.
  VarneFileManager& files;
  // Used by the run alone while it runs; its abort, its stop and its hook are the run's to set
  // and clear.
  HttpClient& client;
  std::tstring list_url;
  // The publisher's keys that releases are checked with, as the configuration names them (one
  // base64 key, or "<k>:<key>,..."); empty: none, unless the install already follows a trust root.
  std::tstring public_key;
  // A stop ends a transfer at once ("Abort by User."), otherwise the run at its next file or
  // block ("Task Aborted.").
  std::stop_token stop;
  RunReport report;
  // How many files are downloaded side by side, each over a connection of its own (1 to 32).
  int transfers = 16;
  // The most bytes per second the run receives over all its connections together; 0: no cap.
  std::uint64_t rate_cap = 0;
  // A file at least this large that may come by blocks starts its block update while its digest
  // is still running: far from the server its digest takes longer than its block documents take
  // to come, so the update starts sooner, and a file found current costs nothing more.
  std::uint64_t early_block_size = 256 << 20;
  // Other copies of the site, tried in order when the one before does not answer in time or
  // serves a list that does not read (or, under a key, a release that does not verify); the first
  // that serves the release serves the whole run.
  std::vector<std::tstring> mirror_urls = {};
  // Whether files may count as current by their stamps, and when every file is digested anyway.
  CheckPolicy check = {};
  // Told the whole run's bytes with each report, on the run's thread; may be empty.
  std::function<void(const FetchFigures&)> figures = {};
};

struct UpdateOutcome {
  bool completed = false;
  std::tstring error;  // the failure's text when not completed
  // The failure's cause and what its paragraph names.
  ErrorCause cause = ErrorCause::kUnknown;
  CauseSubjects subjects;
  int total_files = 0;
  int files_done = 0;
  bool package_replaced = false;  // the game's package file was written
  int files_read = 0;             // the installed files whose content the check read
};

class UpdateRun {
 public:
  explicit UpdateRun(UpdateContext context);
  ~UpdateRun();
  UpdateRun(const UpdateRun&) = delete;
  UpdateRun& operator=(const UpdateRun&) = delete;

  // A completed run has reported "完了." as its last report. Clears the client's abort first, and
  // has the client watch the stop while it runs.
  UpdateOutcome Run() noexcept;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};
