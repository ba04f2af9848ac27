// The update run as the dialog sees it: started once, it answers without waiting whether it is
// still running, completed or failed, together with the latest progress it reported. Everything
// is asked from the owner's thread, so the dialog never hears from the run's own thread. The
// updater's run is the engine's DownloadManager; this header keeps the engine out of the dialog.
#pragma once

#include <cstdint>
#include <mutex>

#include "base/exception.h"
#include "base/tstring.h"
#include "update/fetch_totals.h"

// What the run last reported: the files listed and done, the current task's text, and the
// transfer's size and bytes received (0 and 0 outside a transfer). A failure reports its text and
// its counts here too.
struct RunProgress {
  int total_files = 0;
  int files_done = 0;
  std::tstring task_text;
  std::uint64_t task_total = 0;
  std::uint64_t task_done = 0;
  // The whole run's bytes; a run that tells none leaves them 0.
  FetchFigures fetch = {};
};

enum class RunState { kRunning, kCompleted, kFailed };

struct RunStatus {
  // kRunning also before the start and after the stop: there is no outcome to act on.
  RunState state = RunState::kRunning;
  RunProgress progress;
};

class IUpdateDriver {
 public:
  // Starts the run against the list at url, checking the release with public_key (base64; empty:
  // none).
  virtual void Start(const std::tstring& url, const std::tstring& public_key) = 0;
  // Ends a run that still runs and waits for its thread; nothing once stopped.
  virtual void Stop() = 0;
  // The state is read before the progress, so a failed run's status carries its failure report.
  virtual RunStatus Poll() = 0;
  // The message of the failure that ended the run.
  virtual std::tstring GetErrorMessage() const = 0;
  // That failure with its cause, which a run that tells none leaves unknown.
  virtual Exception GetFailure() const { return Exception(GetErrorMessage(), true); }
  // The completed run wrote the game's package file.
  virtual bool IsPackageReplaced() const = 0;

 protected:
  ~IUpdateDriver() = default;
};

class DownloadManager;

// The updater's run: a DownloadManager, made when the run starts (its network client's start-up
// may throw, and the dialog shows that failure as its own) and deleted when it stops. It is held
// by a raw owning pointer because its destructor may throw.
class DownloadManagerDriver : public IUpdateDriver {
 public:
  // verify: the run digests every installed file, whatever their stamps say.
  explicit DownloadManagerDriver(bool verify = false) : verify_(verify) {}
  ~DownloadManagerDriver() noexcept(false) { Stop(); }
  DownloadManagerDriver(const DownloadManagerDriver&) = delete;
  DownloadManagerDriver& operator=(const DownloadManagerDriver&) = delete;

  void Start(const std::tstring& url, const std::tstring& public_key) override;
  void Stop() override;
  RunStatus Poll() override;
  std::tstring GetErrorMessage() const override;
  Exception GetFailure() const override;
  bool IsPackageReplaced() const override;

 private:
  // The manager's progress callback, on the run's thread; user is the driver.
  static void Keep(int total, int done, const std::tstring* text, std::uint64_t size,
                   std::uint64_t received, void* user);

  const bool verify_;
  DownloadManager* manager_ = nullptr;  // owned
  mutable std::mutex progress_lock_;
  RunProgress progress_;  // guarded by progress_lock_
};
