// Runs the update engine in a temporary install folder, as the updater does: the folder is the
// current directory and the process's file manager exists.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "net/testing/scripted_server.h"
#include "scratch.h"
#include "storage/storage_test_util.h"
#include "storage/varne_file_manager.h"
#include "update/update_run.h"

namespace test_support {

struct Report {
  int total, done;
  std::string text;
  int size, received;
  bool operator==(const Report&) const = default;
};

struct Outcome : UpdateOutcome {
  std::vector<Report> reports;
};

class InstallFolder : public TempFolder {
 public:
  InstallFolder();
  ~InstallFolder();
  bool Exists(const std::string& name) const { return std::filesystem::exists(Native(name)); }

 private:
  std::filesystem::path previous_;
  std::unique_ptr<VarneFileManager> files_;
};

// One whole run against url, on this thread, with the install folder's file manager.
Outcome RunUpdate(const std::string& url);

// A server's whole answer of body, with its length announced or not.
std::string Answer(const std::string& body, bool announce = true);
// A scripted update server: the list document, then one package answer per connection.
std::vector<net_testing::Reply> ListThenPackages(const std::string& list,
                                                 const std::vector<std::string>& packages = {});
std::string ListUrl(const net_testing::ScriptedServer& server);

// A release site built from an image folder with varne-release (with more options, such as
// "--sign <key>", when given).
void BuildSite(const std::filesystem::path& image, const std::filesystem::path& site,
               std::uint16_t port, const std::string& options = "");

// varne-release serve of a site, on the port the site was built for, run by `wrapper` (a command
// that runs the rest of its line) when one is given; stopped when the object goes, and after five
// minutes in any case.
class ReleaseServer : public Background {
 public:
  ReleaseServer(const std::filesystem::path& site, std::uint16_t port,
                const std::string& wrapper = "")
      : Background(site, wrapper + " " VARNE_BINARY_DIR "/bin/varne-release serve .", 300) {
    if (!WaitForPort(port)) throw std::runtime_error("varne-release serve did not start");
  }
};

// A package holding each (name, bytes), as the update server sends a file or as the game's
// package holds its entries.
inline std::string PackageOf(const std::vector<TestPackage::Entry>& entries) {
  return TestPackage(entries).Bytes();
}
inline std::string PackageOf(const std::string& name, const std::string& bytes) {
  return PackageOf({{name, bytes}});
}

// The MD5 of bytes as 32 lower-case hexadecimal digits.
std::string Md5Of(const std::string& bytes);

}  // namespace test_support
