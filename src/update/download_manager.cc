#include "update/download_manager.h"

#include <chrono>
#include <system_error>

#include "base/exception.h"
#include "update/update_run.h"

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
  // Each run starts from an empty list and counts, so a failure report made before the list is
  // read carries zeros, and a second run does not see the first run's entries twice.
  file_list_.clear();
  total_files_ = 0;
  files_done_ = 0;
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
  UpdateRun(*this).Run();
  {
    std::lock_guard<std::mutex> exit_lock(exit_mutex_);
    worker_exited_ = true;
  }
  exit_signal_.notify_all();
}

void DownloadManager::EndRun(bool completed, const std::tstring& error) {
  CriticalSectionLock thread(thread_lock_);
  worker_recorded_ = false;
  finished_ = completed;
  if (completed) return;
  error_text_ = error;
  // Made under the thread lock, so the owner sees the run as ended only after this report.
  Report(total_files_, files_done_, error_text_, 0, 0);
}

void DownloadManager::JoinWorker() {
  if (worker_.joinable()) worker_.join();
}
