#include "update/update_driver.h"

#include <utility>

#include "update/download_manager.h"

void DownloadManagerDriver::Start(const std::tstring& url, const std::tstring& public_key) {
  if (manager_ == nullptr) manager_ = new DownloadManager();
  manager_->SetProgressCallback(&Keep, this);
  manager_->SetPublicKey(public_key);
  manager_->SetVerify(verify_);
  // The manager's second argument is kept for its callers' sake and never read.
  manager_->Start(url, "null");
}

void DownloadManagerDriver::Stop() {
  // Deleting the manager stops its run; cleared first, so that nothing reaches a half-deleted one.
  delete std::exchange(manager_, nullptr);
}

RunStatus DownloadManagerDriver::Poll() {
  RunStatus status;
  if (manager_ != nullptr) {
    // The manager makes a failure's report before the run counts as ended, so a poll that sees
    // the end also sees that report's progress.
    switch (manager_->Wait(0)) {
      case DownloadManager::kIdle:
        status.state = RunState::kFailed;
        break;
      case DownloadManager::kCompleted:
        status.state = RunState::kCompleted;
        break;
      default:
        break;
    }
  }
  const std::lock_guard hold(progress_lock_);
  status.progress = progress_;
  if (manager_ != nullptr) status.progress.fetch = manager_->GetFigures();
  return status;
}

std::tstring DownloadManagerDriver::GetErrorMessage() const {
  return manager_ != nullptr ? manager_->GetErrorMessage() : std::tstring();
}

Exception DownloadManagerDriver::GetFailure() const {
  return manager_ != nullptr ? manager_->GetFailure() : Exception(std::tstring(), true);
}

bool DownloadManagerDriver::IsPackageReplaced() const {
  return manager_ != nullptr && manager_->IsPackageReplaced();
}

void DownloadManagerDriver::Keep(int total, int done, const std::tstring* text, std::uint64_t size,
                                 std::uint64_t received, void* user) {
  auto* driver = static_cast<DownloadManagerDriver*>(user);
  const std::lock_guard hold(driver->progress_lock_);
  driver->progress_ = {total, done, text != nullptr ? *text : std::tstring(), size, received};
}
