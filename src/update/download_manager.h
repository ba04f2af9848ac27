// The update engine as the dialog sees it: one worker thread runs an update run (fetch the file
// list, check every file, download and install what differs), reports progress through a callback
// on that thread, and can be stopped. The owner polls the outcome with Wait.
//
// Owner operations (constructor, destructor, SetProgressCallback, Start, Stop, Wait) belong to one
// thread and are serialised by the control lock; the worker never takes it. Lock order: control
// lock, then thread lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "base/critical_section.h"
#include "base/tstring.h"
#include "net/http_client.h"
#include "update/update_run.h"

// Called on the worker thread; text is valid only during the call.
using ProgressCallback = void (*)(int total, int done, const std::tstring* text, int size,
                                  int received, void* user);

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

  void SetProgressCallback(ProgressCallback callback, void* user);
  // The publisher's public key (base64) that the runs check releases with; empty: none. Ignored
  // while a run is running.
  void SetPublicKey(std::tstring key);
  // Starts a run against the list at url unless one is running. reserved is kept, never read.
  void Start(std::tstring url, std::tstring reserved);
  // Makes a running run fail ("Task Aborted." between files, "Abort by User." during a transfer)
  // and waits for the worker.
  void Stop();
  // kIdle, kRunning (still running after timeout_ms) or kCompleted.
  int Wait(std::uint32_t timeout_ms);

  // The message of the failure that ended the last run.
  std::tstring GetErrorMessage() const;
  // The last completed run wrote the game's package file.
  bool IsPackageReplaced() const { return package_replaced_; }

 private:
  void Report(int total, int done, const std::tstring& text, int size, int received);
  void WorkerMain();
  // Called by the worker at the end of a run; takes the thread lock.
  void EndRun(const UpdateOutcome& outcome);
  void JoinWorker();

  CriticalSection control_lock_;
  ProgressCallback callback_ = nullptr;
  void* callback_user_ = nullptr;

  CriticalSection thread_lock_;
  std::thread worker_;
  bool worker_recorded_ = false;
  bool finished_ = false;
  // Signalled when the worker has left the run; Wait's time-out waits on it.
  std::mutex exit_mutex_;
  std::condition_variable exit_signal_;
  bool worker_exited_ = true;

  std::atomic<bool> running_ = false;
  std::atomic<bool> package_replaced_ = false;
  std::tstring error_text_;
  HttpClient client_;
  std::tstring server_url_;
  std::tstring reserved_;
  std::tstring public_key_;
};
