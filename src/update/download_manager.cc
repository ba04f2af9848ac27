#include "update/download_manager.h"

#include <chrono>
#include <system_error>

#include "base/exception.h"
#include "storage/varne_file_manager.h"
#include "update/release_protocol.h"

DownloadManager::DownloadManager() = default;

DownloadManager::~DownloadManager() noexcept(false) { Stop(); }

void DownloadManager::SetProgressCallback(ProgressCallback callback, void* user) {
  callback_ = callback;
  callback_user_ = user;
}

void DownloadManager::SetPublicKey(std::tstring key) {
  std::lock_guard hold(lock_);
  if (state_ != State::kRunning) public_key_ = std::move(key);
}

void DownloadManager::SetVerify(bool verify) {
  std::lock_guard hold(lock_);
  if (state_ != State::kRunning) verify_ = verify;
}

void DownloadManager::Start(std::tstring url, std::tstring) {
  {
    std::lock_guard hold(lock_);
    if (state_ == State::kRunning) return;
    state_ = State::kRunning;
    figures_ = {};
  }
  // The worker of an earlier run has recorded its end already; it is collected here.
  if (worker_.joinable()) worker_.join();
  const ProgressCallback callback = callback_;
  void* const user = callback_user_;
  UpdateContext context{
      .files = *Singleton<VarneFileManager>::GetInstance(),
      .client = client_,
      .list_url = std::move(url),
      .public_key = public_key_,
      .stop = {},
      .report =
          [callback, user](int total, int done, const std::tstring& text, std::uint64_t size,
                           std::uint64_t received) {
            if (callback != nullptr) callback(total, done, &text, size, received, user);
          },
      .figures =
          [this](const FetchFigures& figures) {
            std::lock_guard hold(lock_);
            figures_ = figures;
          },
  };
  try {
    worker_ = std::jthread([this, context = std::move(context)](std::stop_token stop) mutable {
      context.stop = std::move(stop);
      const TransferLimits limits = ConfiguredLimits();
      context.transfers = limits.transfers;
      context.rate_cap = limits.rate_cap;
      context.mirror_urls = ConfiguredMirrors();
      context.check = ConfiguredCheck(verify_);
      WorkerMain(std::move(context));
    });
  } catch (const std::system_error&) {
    std::lock_guard hold(lock_);
    state_ = State::kFailed;
    throw DownloadManagerException("Failed thread create.", true);
  }
}

void DownloadManager::Stop() {
  // The run turns the stop into the client's abort.
  worker_.request_stop();
  Wait(kInfinite);
}

int DownloadManager::Wait(std::uint32_t timeout_ms) {
  std::unique_lock hold(lock_);
  const auto ended = [this] { return state_ != State::kRunning; };
  if (timeout_ms == kInfinite) {
    ended_.wait(hold, ended);
  } else if (!ended_.wait_for(hold, std::chrono::milliseconds(timeout_ms), ended)) {
    return kRunning;
  }
  return state_ == State::kCompleted ? kCompleted : kIdle;
}

std::tstring DownloadManager::GetErrorMessage() const {
  std::lock_guard hold(lock_);
  return error_text_;
}

Exception DownloadManager::GetFailure() const {
  std::lock_guard hold(lock_);
  return Caused(Exception(error_text_, true), error_cause_, error_subjects_);
}

bool DownloadManager::IsPackageReplaced() const {
  std::lock_guard hold(lock_);
  return package_replaced_;
}

void DownloadManager::WorkerMain(UpdateContext context) {
  const RunReport report = context.report;
  const UpdateOutcome outcome = UpdateRun(std::move(context)).Run();
  // Reported before the end is recorded, so the owner sees the run end only after this report.
  if (!outcome.completed && report) {
    try {
      report(outcome.total_files, outcome.files_done, outcome.error, 0, 0);
    } catch (...) {
      // Nothing may leave the worker; the run has ended either way.
    }
  }
  {
    std::lock_guard hold(lock_);
    state_ = outcome.completed ? State::kCompleted : State::kFailed;
    if (!outcome.completed) {
      error_text_ = outcome.error;
      error_cause_ = outcome.cause;
      error_subjects_ = outcome.subjects;
    }
    if (outcome.package_replaced) package_replaced_ = true;
  }
  ended_.notify_all();
}

FetchFigures DownloadManager::GetFigures() const {
  std::lock_guard hold(lock_);
  return figures_;
}
