// Runs the update engine in a temporary install folder (update/testing/engine_testing.h), as the
// updater does, against scripted servers and release sites.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/scratch.h"
#include "update/testing/engine_testing.h"
#include "update/update_run.h"

namespace test_support {

using namespace update_testing;

struct Report {
  int total, done;
  std::string text;
  std::uint64_t size, received;
  bool operator==(const Report&) const = default;
};

struct Outcome : UpdateOutcome {
  std::vector<Report> reports;
};

// One whole run against url, on this thread, with the install folder's file manager (and the
// publisher's key, when given). on_report sees each report as it is made; answering false requests
// the run's stop. early_block_size, when given, replaces the run's.
Outcome RunUpdate(const std::string& url,
                  const std::function<bool(const Report&)>& on_report = nullptr,
                  const std::string& public_key = "", int transfers = 16,
                  std::optional<std::uint64_t> early_block_size = std::nullopt,
                  const std::vector<std::string>& mirrors = {});
// The same with one transfer at a time, for a scripted server whose replies follow the order of
// the requests.
inline Outcome RunInOrder(const std::string& url,
                          const std::function<bool(const Report&)>& on_report = nullptr) {
  return RunUpdate(url, on_report, "", 1);
}

// A scripted update server: the list document, a 404 for the removed files' document, then one
// package answer per connection.
std::vector<net_testing::Reply> ListThenPackages(const std::string& list,
                                                 const std::vector<std::string>& packages = {});

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
                const std::string& wrapper = "", const std::string& options = "")
      : Background(site, wrapper + " " VARNE_BINARY_DIR "/bin/varne-release serve . " + options,
                   300) {
    if (!WaitForPort(port)) {
      throw std::runtime_error("varne-release serve did not start: " + Output());
    }
  }
};

}  // namespace test_support
