#include "engine_harness.h"

#include <atomic>
#include <cstdlib>
#include <stdexcept>

#include "platform/path.h"
#include "storage/md5.h"
#include "storage/varne_file_system.h"
#include "update/update_run.h"

namespace test_support {

void ReportLog::Callback(int total, int done, const std::tstring* text, int size, int received,
                         void* user) {
  auto& log = *static_cast<ReportLog*>(user);
  std::lock_guard<std::mutex> hold(log.mutex_);
  log.reports_.push_back({total, done, *text, size, received});
}

std::vector<Report> ReportLog::Get() {
  std::lock_guard<std::mutex> hold(mutex_);
  return reports_;
}

InstallFolder::InstallFolder() : previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(folder_.GetPath());
  files_ = std::make_unique<VarneFileManager>();
}

InstallFolder::~InstallFolder() {
  files_.reset();
  std::filesystem::current_path(previous_);
}

void InstallFolder::Write(const std::string& name, const std::string& bytes) const {
  const auto path = GetPath() / name;
  std::filesystem::create_directories(path.parent_path());
  WriteFile(path, bytes);
}

std::string InstallFolder::Read(const std::string& name) const {
  return ReadFile(GetPath() / name);
}

bool InstallFolder::Exists(const std::string& name) const {
  return std::filesystem::exists(GetPath() / name);
}

std::vector<std::string> InstallFolder::TemporaryFiles() const {
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(GetPath())) {
    const std::string name = item.path().filename().string();
    if (name.size() > 3 && name.compare(name.size() - 3, 3, ".dl") == 0) names.push_back(name);
  }
  return names;
}

Outcome RunUpdate(const std::string& url, const std::function<bool(const Report&)>& on_report) {
  HttpClient client;
  std::atomic<bool> running = true;
  Outcome outcome;
  const auto report = [&](int total, int done, const std::tstring& text, int size, int received) {
    outcome.reports.push_back({total, done, text, size, received});
    if (on_report && !on_report(outcome.reports.back())) {
      running = false;
      client.SetAbort(true);
    }
  };
  const UpdateOutcome end = UpdateRun({client, url, "", running, report}).Run();
  outcome.completed = end.completed;
  outcome.error = end.error;
  outcome.total = end.total_files;
  outcome.done = end.files_done;
  outcome.package_replaced = end.package_replaced;
  return outcome;
}

std::vector<net_testing::Reply> ListThenPackages(const std::string& list,
                                                 const std::vector<std::string>& packages) {
  std::vector<net_testing::Reply> replies = {{{"HTTP/1.0 200 OK\r\n\r\n" + list}}};
  for (const std::string& package : packages) {
    replies.push_back({{"HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(package.size()) +
                        "\r\n\r\n" + package}});
  }
  return replies;
}

std::string ListUrl(const net_testing::ScriptedServer& server) {
  return "http://127.0.0.1:" + std::to_string(server.GetPort()) + "/list";
}

void BuildSite(const std::filesystem::path& image, const std::filesystem::path& site,
               std::uint16_t port, const std::string& options) {
  Run(std::string(VARNE_BINARY_DIR) + "/bin/varne-release build '" + image.string() + "' '" +
      site.string() + "' --listen 127.0.0.1:" + std::to_string(port) + " " + options +
      " >/dev/null");
}

ReleaseServer::ReleaseServer(const std::filesystem::path& site, std::uint16_t port)
    : pid_file_(site.string() + ".pid") {
  Run("timeout 300 " + std::string(VARNE_BINARY_DIR) + "/bin/varne-release serve '" +
      site.string() + "' >/dev/null & echo $! >'" + pid_file_.string() + "'");
  if (!WaitForPort(port)) throw std::runtime_error("varne-release serve did not start");
}

ReleaseServer::~ReleaseServer() {
  std::system(("kill $(cat '" + pid_file_.string() + "') 2>/dev/null").c_str());
  std::filesystem::remove(pid_file_);
}

std::string PackageOf(const std::vector<std::pair<std::string, std::string>>& entries) {
  TempFolder folder("varne-package");
  const std::string base = platform::ToInternalPath(folder.GetPath().string());
  VarneFileSystem system;
  for (const auto& [name, bytes] : entries) {
    std::filesystem::create_directories((folder.GetPath() / name).parent_path());
    WriteFile(folder.GetPath() / name, bytes);
    system.AddFile(base + "\\" + name, base);
  }
  system.WritePackage(base + "\\package.vpk", 1);
  return ReadFile(folder.GetPath() / "package.vpk");
}

std::string Md5Of(const std::string& bytes) {
  MD5 md5;
  return md5.DigestText(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

}  // namespace test_support
