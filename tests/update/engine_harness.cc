#include "engine_harness.h"

#include <cstdlib>
#include <stdexcept>

#include "storage/md5.h"

namespace test_support {

InstallFolder::InstallFolder()
    : TempFolder("varne-install"), previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(GetPath());
  files_ = std::make_unique<VarneFileManager>();
}

InstallFolder::~InstallFolder() {
  files_.reset();
  std::filesystem::current_path(previous_);
}

Outcome RunUpdate(const std::string& url) {
  HttpClient client;
  Outcome outcome;
  const auto report = [&](int total, int done, const std::tstring& text, int size, int received) {
    outcome.reports.push_back({total, done, text, size, received});
  };
  static_cast<UpdateOutcome&>(outcome) =
      UpdateRun({.files = *Singleton<VarneFileManager>::GetInstance(),
                 .client = client,
                 .list_url = url,
                 .public_key = "",
                 .stop = {},
                 .report = report})
          .Run();
  return outcome;
}

std::string Answer(const std::string& body, bool announce) {
  const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return "HTTP/1.0 200 OK\r\n" + (announce ? length : "") + "\r\n" + body;
}

std::vector<net_testing::Reply> ListThenPackages(const std::string& list,
                                                 const std::vector<std::string>& packages) {
  std::vector<net_testing::Reply> replies = {{{Answer(list, false)}}};
  for (const std::string& package : packages) replies.push_back({{Answer(package)}});
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

std::string Md5Of(const std::string& bytes) {
  MD5 md5;
  return md5.DigestText(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
}

}  // namespace test_support
