#include "support/engine_harness.h"

#include <cstdlib>

#include "net/http_client.h"
#include "storage/varne_file_manager.h"

namespace test_support {

Outcome RunUpdate(const std::string& url, const std::function<bool(const Report&)>& on_report,
                  const std::string& public_key, int transfers,
                  std::optional<std::uint64_t> early_block_size,
                  const std::vector<std::string>& mirrors) {
  HttpClient client;
  std::stop_source stop;
  Outcome outcome;
  const auto report = [&](int total, int done, const std::tstring& text, std::uint64_t size,
                          std::uint64_t received) {
    outcome.reports.push_back({total, done, text, size, received});
    if (on_report && !on_report(outcome.reports.back())) stop.request_stop();
  };
  UpdateContext context{.files = *Singleton<VarneFileManager>::GetInstance(),
                        .client = client,
                        .list_url = url,
                        .public_key = public_key,
                        .stop = stop.get_token(),
                        .report = report,
                        .transfers = transfers};
  if (early_block_size) context.early_block_size = *early_block_size;
  context.mirror_urls.assign(mirrors.begin(), mirrors.end());
  static_cast<UpdateOutcome&>(outcome) = UpdateRun(std::move(context)).Run();
  return outcome;
}

std::vector<net_testing::Reply> ListThenPackages(const std::string& list,
                                                 const std::vector<std::string>& packages) {
  std::vector<net_testing::Reply> replies = {{{Answer(list, false)}},
                                             {{"HTTP/1.0 404 Not Found\r\n\r\n"}}};
  for (const std::string& package : packages) replies.push_back({{Answer(package)}});
  return replies;
}

void BuildSite(const std::filesystem::path& image, const std::filesystem::path& site,
               std::uint16_t port, const std::string& options) {
  Run(std::string(VARNE_BINARY_DIR) + "/bin/varne-release build '" + image.string() + "' '" +
      site.string() + "' --listen 127.0.0.1:" + std::to_string(port) + " " + options +
      " >/dev/null");
}

}  // namespace test_support
