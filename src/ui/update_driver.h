// The update run as the dialog sees it: started once, it reports its progress from its own thread
// and answers, without waiting, whether it is still running, completed or failed. The updater's is
// the engine's DownloadManager.
#pragma once

#include "base/tstring.h"
#include "update/download_manager.h"

class IUpdateDriver {
 public:
  // Starts the run against the list at url, checking the release with public_key (base64; empty:
  // none); progress is called on the run's thread.
  virtual void Start(const std::tstring& url, const std::tstring& public_key,
                     ProgressCallback progress, void* user) = 0;
  // Ends a run that still runs and waits for its thread; nothing once stopped.
  virtual void Stop() = 0;
  // DownloadManager::kIdle (the run failed), kCompleted, or kRunning, which is also the answer
  // before the start and after the stop: there is no outcome to act on.
  virtual int Poll() = 0;
  // The message of the failure that ended the run.
  virtual std::tstring GetErrorMessage() const = 0;
  // The completed run wrote the game's package file.
  virtual bool IsPackageReplaced() const = 0;

 protected:
  ~IUpdateDriver() = default;
};

// The updater's run: a DownloadManager, made when the run starts (its network client's start-up
// may throw) and deleted when it stops.
class DownloadManagerDriver : public IUpdateDriver {
 public:
  DownloadManagerDriver() = default;
  ~DownloadManagerDriver() noexcept(false) { Stop(); }
  DownloadManagerDriver(const DownloadManagerDriver&) = delete;
  DownloadManagerDriver& operator=(const DownloadManagerDriver&) = delete;

  void Start(const std::tstring& url, const std::tstring& public_key, ProgressCallback progress,
             void* user) override;
  void Stop() override;
  int Poll() override;
  std::tstring GetErrorMessage() const override { return manager_->GetErrorMessage(); }
  bool IsPackageReplaced() const override { return manager_->IsPackageReplaced(); }

 private:
  DownloadManager* manager_ = nullptr;  // owned
};
