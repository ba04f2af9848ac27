// Runs one update of the current folder against a list URL, as the updater's engine does (with the
// transfers and the rate cap the folder's settings give), and prints the outcome: a benchmark
// driver, without the window.
#include <cstdio>

#include "base/exception.h"
#include "net/http_client.h"
#include "storage/varne_file_manager.h"
#include "update/release_protocol.h"
#include "update/update_run.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: update_driver <list-url> [<public-key>]\n");
    return 2;
  }
  try {
    VarneFileManager files;
    HttpClient client;
    UpdateContext context{.files = files,
                          .client = client,
                          .list_url = argv[1],
                          .public_key = argc == 3 ? argv[2] : "",
                          .stop = {},
                          .report = {}};
    const TransferLimits limits = ConfiguredLimits();
    context.transfers = limits.transfers;
    context.rate_cap = limits.rate_cap;
    const UpdateOutcome outcome = UpdateRun(std::move(context)).Run();
    if (!outcome.completed) {
      std::fprintf(stderr, "%s\n", outcome.error.c_str());
      return 1;
    }
    std::printf("%d files checked\n", outcome.total_files);
    return 0;
  } catch (const Exception& failure) {
    std::fprintf(stderr, "%s\n", failure.GetText().c_str());
    return 1;
  }
}
