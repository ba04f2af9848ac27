// The update engine as the dialog sees it: one worker thread runs an update run (fetch the file
// list, check every file, download and install what differs), reports progress through a callback
// on that thread, and can be stopped. The owner polls the outcome with Wait.
//
// The owner's operations (constructor, destructor, the setters, Start, Stop, Wait, the getters)
// are called by one thread at a time. The worker shares only the run's state with them, under one
// lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "base/exception.h"
#include "base/tstring.h"
#include "net/http_client.h"
#include "update/update_run.h"

// Called on the worker thread; text is valid only during the call.
using ProgressCallback = void (*)(int total, int done, const std::tstring* text, std::uint64_t size,
                                  std::uint64_t received, void* user);

class DownloadManager {
 public:
  static constexpr std::uint32_t kInfinite = 0xFFFFFFFF;
  // Results of Wait.
  static constexpr int kIdle = 0;  // never started, or the last run failed
  static constexpr int kRunning = 1;
  static constexpr int kCompleted = 2;

  // Throws what the HTTP client's socket start-up throws.
  DownloadManager();
  // Stops and joins a running worker.
  virtual ~DownloadManager() noexcept(false);
  DownloadManager(const DownloadManager&) = delete;
  DownloadManager& operator=(const DownloadManager&) = delete;

  // Takes effect from the next Start.
  void SetProgressCallback(ProgressCallback callback, void* user);
  // The publisher's public key (base64) that the runs check releases with; empty: none. Ignored
  // while a run is running.
  void SetPublicKey(std::tstring key);
  // The runs digest every installed file, whatever their stamps say. Ignored while a run is
  // running.
  void SetVerify(bool verify);
  // Starts a run against the list at url unless one is running. The second argument is not used.
  // The process's VarneFileManager must exist.
  void Start(std::tstring url, std::tstring reserved);
  // Makes a running run fail ("Task Aborted." between files, "Abort by User." during a transfer)
  // and waits for the worker to report it.
  void Stop();
  // kIdle, kRunning (still running after timeout_ms) or kCompleted. A failed run's report has been
  // made once this says it ended.
  int Wait(std::uint32_t timeout_ms);

  // The message of the failure that ended the last run.
  std::tstring GetErrorMessage() const;
  // That failure with its cause.
  Exception GetFailure() const;
  // The last run's bytes, as far as it has reported them.
  FetchFigures GetFigures() const;
  // A run has written the game's package file.
  bool IsPackageReplaced() const;

 private:
  enum class State { kNeverRun, kRunning, kCompleted, kFailed };

  // On the worker: runs, reports a failure, and only then records the end.
  void WorkerMain(UpdateContext context);

  ProgressCallback callback_ = nullptr;
  void* callback_user_ = nullptr;
  std::tstring public_key_;
  bool verify_ = false;
  HttpClient client_;

  // The run's state, shared with the worker.
  mutable std::mutex lock_;
  std::condition_variable ended_;  // the state left kRunning
  State state_ = State::kNeverRun;
  std::tstring error_text_;
  ErrorCause error_cause_ = ErrorCause::kUnknown;
  CauseSubjects error_subjects_;
  bool package_replaced_ = false;
  FetchFigures figures_;

  // Last, so that it is stopped and joined before anything it uses goes.
  std::jthread worker_;
};
