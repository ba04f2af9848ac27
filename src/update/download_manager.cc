#include "update/download_manager.h"

#include <chrono>
#include <system_error>

#include "base/exception.h"

DownloadManager::DownloadManager() {
  CriticalSectionLock control(control_lock_);
  CriticalSectionLock thread(thread_lock_);
}

DownloadManager::~DownloadManager() noexcept(false) {
  CriticalSectionLock control(control_lock_);
  Stop();
  callback_ = nullptr;
  callback_user_ = nullptr;
  JoinWorker();
}

void DownloadManager::SetProgressCallback(ProgressCallback callback, void* user) {
  CriticalSectionLock control(control_lock_);
  callback_ = callback;
  callback_user_ = user;
}

void DownloadManager::SetPublicKey(std::tstring key) {
  CriticalSectionLock control(control_lock_);
  CriticalSectionLock thread(thread_lock_);
  // A running worker reads the key; it takes effect from the next run.
  if (!worker_recorded_) public_key_ = std::move(key);
}

void DownloadManager::Start(std::tstring url, std::tstring reserved) {
  CriticalSectionLock control(control_lock_);
  {
    CriticalSectionLock thread(thread_lock_);
    if (worker_recorded_) return;
  }
  // The worker of an earlier run has left the run already; collect its thread.
  JoinWorker();
  server_url_ = std::move(url);
  reserved_ = std::move(reserved);
  running_ = true;
  // The client keeps an abort until it is cleared, so that a Stop between two requests is seen.
  client_.SetAbort(false);
  finished_ = false;
  worker_recorded_ = true;
  worker_exited_ = false;
  try {
    worker_ = std::thread(&DownloadManager::WorkerMain, this);
  } catch (const std::system_error&) {
    worker_recorded_ = false;
    worker_exited_ = true;
    throw DownloadManagerException("Failed thread create.", true);
  }
}

void DownloadManager::Stop() {
  CriticalSectionLock control(control_lock_);
  {
    CriticalSectionLock thread(thread_lock_);
    if (!worker_recorded_) return;
  }
  running_ = false;
  client_.SetAbort(true);
  Wait(kInfinite);
}

int DownloadManager::Wait(std::uint32_t timeout_ms) {
  CriticalSectionLock control(control_lock_);
  {
    CriticalSectionLock thread(thread_lock_);
    if (!worker_recorded_) return finished_ ? kCompleted : kIdle;
  }
  {
    std::unique_lock<std::mutex> exit_lock(exit_mutex_);
    const auto exited = [this] { return worker_exited_; };
    if (timeout_ms == kInfinite) {
      exit_signal_.wait(exit_lock, exited);
    } else if (!exit_signal_.wait_for(exit_lock, std::chrono::milliseconds(timeout_ms), exited)) {
      return kRunning;
    }
  }
  JoinWorker();
  // The worker has ended, but not necessarily with success: a failed run is not "completed".
  CriticalSectionLock thread(thread_lock_);
  return finished_ ? kCompleted : kIdle;
}

std::tstring DownloadManager::GetErrorMessage() const { return error_text_; }

void DownloadManager::Report(int total, int done, const std::tstring& text, int size,
                             int received) {
  if (callback_ != nullptr) callback_(total, done, &text, size, received, callback_user_);
}

void DownloadManager::WorkerMain() {
  UpdateRun run({client_, server_url_, public_key_, running_,
                 [this](int total, int done, const std::tstring& text, int size, int received) {
                   Report(total, done, text, size, received);
                 }});
  try {
    EndRun(run.Run());
  } catch (...) {
    // Nothing may leave the worker; the run has ended either way.
  }
  {
    std::lock_guard<std::mutex> exit_lock(exit_mutex_);
    worker_exited_ = true;
  }
  exit_signal_.notify_all();
}

void DownloadManager::EndRun(const UpdateOutcome& outcome) {
  CriticalSectionLock thread(thread_lock_);
  worker_recorded_ = false;
  finished_ = outcome.completed;
  if (outcome.package_replaced) package_replaced_ = true;
  if (outcome.completed) return;
  error_text_ = outcome.error;
  // Made under the thread lock, so the owner sees the run as ended only after this report.
  Report(outcome.total_files, outcome.files_done, error_text_, 0, 0);
}

void DownloadManager::JoinWorker() {
  if (worker_.joinable()) worker_.join();
}
