#include "ui/update_driver.h"

#include <utility>

void DownloadManagerDriver::Start(const std::tstring& url, const std::tstring& public_key,
                                  ProgressCallback progress, void* user) {
  if (manager_ == nullptr) manager_ = new DownloadManager();
  manager_->SetProgressCallback(progress, user);
  manager_->SetPublicKey(public_key);
  // The manager's second argument is kept for its callers' sake and never read.
  manager_->Start(url, "null");
}

void DownloadManagerDriver::Stop() {
  // Deleting the manager stops its run; cleared first, so that nothing reaches a half-deleted one.
  delete std::exchange(manager_, nullptr);
}

int DownloadManagerDriver::Poll() {
  return manager_ != nullptr ? manager_->Wait(0) : DownloadManager::kRunning;
}
