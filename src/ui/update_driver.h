// The update run as the dialog sees it: started once, it reports its progress from its own thread
// and answers, without waiting, whether it is still running, completed or failed. Destroying it
// stops a run that is still going and waits for its thread. The updater's is a DownloadManager.
#pragma once

#include <functional>
#include <memory>

#include "base/tstring.h"
#include "update/download_manager.h"

class IUpdateDriver {
 public:
  // May throw what stopping the run throws.
  virtual ~IUpdateDriver() noexcept(false) = default;

  // Starts the run against the list at url, checking the release with public_key (base64; empty:
  // none). progress is called on the run's thread.
  virtual void Start(const std::tstring& url, const std::tstring& public_key,
                     ProgressCallback progress, void* user) = 0;
  // DownloadManager::kIdle (the run failed), kRunning or kCompleted.
  virtual int Poll() = 0;
  // The message of the failure that ended the run.
  virtual std::tstring GetErrorMessage() const = 0;
  // The completed run wrote the game's package file.
  virtual bool IsPackageReplaced() const = 0;
};

// Makes the driver of one dialog's run; may throw, as making the engine's network client may.
using UpdateDriverFactory = std::function<std::unique_ptr<IUpdateDriver>()>;

// The updater's driver: the engine's DownloadManager.
std::unique_ptr<IUpdateDriver> CreateDownloadManagerDriver();
