#include "ui/update_driver.h"

namespace {

class DownloadManagerDriver : public IUpdateDriver {
 public:
  void Start(const std::tstring& url, const std::tstring& public_key, ProgressCallback progress,
             void* user) override {
    manager_.SetProgressCallback(progress, user);
    manager_.SetPublicKey(public_key);
    // The manager's second argument is kept for its callers' sake and never read.
    manager_.Start(url, "null");
  }
  int Poll() override { return manager_.Wait(0); }
  std::tstring GetErrorMessage() const override { return manager_.GetErrorMessage(); }
  bool IsPackageReplaced() const override { return manager_.IsPackageReplaced(); }

 private:
  DownloadManager manager_;
};

}  // namespace

std::unique_ptr<IUpdateDriver> CreateDownloadManagerDriver() {
  return std::make_unique<DownloadManagerDriver>();
}
