// Runs the update engine in a temporary install folder, as the updater does: the folder is the
// current directory and the process's file manager exists.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "scratch.h"
#include "storage/varne_file_manager.h"
#include "update/download_manager.h"

namespace test_support {

struct Report {
  int total, done;
  std::string text;
  int size, received;
  bool operator==(const Report&) const = default;
};

// Collects the engine's reports; a test may also act on each one, on the worker thread.
class ReportLog {
 public:
  static void Callback(int total, int done, const std::tstring* text, int size, int received,
                       void* user);
  std::vector<Report> Get();
  // Waits (at most ten seconds) until a report matches; false when none did.
  bool WaitFor(const std::function<bool(const Report&)>& match);
  std::function<void(const Report&)> on_report;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Report> reports_;
};

struct Outcome {
  int result = -1;
  std::string error;
  bool package_replaced = false;
  std::vector<Report> reports;
};

class InstallFolder {
 public:
  InstallFolder();
  ~InstallFolder();
  const std::filesystem::path& GetPath() const { return folder_.GetPath(); }
  void Write(const std::string& name, const std::string& bytes) const;
  std::string Read(const std::string& name) const;
  bool Exists(const std::string& name) const;
  // Names of the temporary download files left in the folder.
  std::vector<std::string> TemporaryFiles() const;

 private:
  TempFolder folder_{"varne-install"};
  std::filesystem::path previous_;
  std::unique_ptr<VarneFileManager> files_;
};

// One whole run against url; fails the test when it does not end within a minute.
Outcome RunUpdate(const std::string& url);

// A release site built from an image folder with varne-release (with more options, such as
// "--sign <key>", when given).
void BuildSite(const std::filesystem::path& image, const std::filesystem::path& site,
               std::uint16_t port, const std::string& options = "");

// varne-release serve of a site, on the port the site was built for; stopped when the object
// goes, and after five minutes in any case.
class ReleaseServer {
 public:
  ReleaseServer(const std::filesystem::path& site, std::uint16_t port);
  ~ReleaseServer();
  ReleaseServer(const ReleaseServer&) = delete;
  ReleaseServer& operator=(const ReleaseServer&) = delete;

 private:
  std::filesystem::path pid_file_;
};

// A one-entry package holding `bytes` under `name`, as the update server sends it.
std::string PackageOf(const std::string& name, const std::string& bytes);
// A package of several entries (name, bytes), such as the game's package.
std::string PackageOf(const std::vector<std::pair<std::string, std::string>>& entries);

// The MD5 of bytes as 32 lower-case hexadecimal digits.
std::string Md5Of(const std::string& bytes);

}  // namespace test_support
