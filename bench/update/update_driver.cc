// Runs one update of the current folder against a list URL, as the updater's engine does (with the
// transfers, the rate cap and the check the folder's settings give), and prints the outcome: a
// benchmark driver, without the window. --verify reads every file, as the updater's option does;
// --io prints what the process read; --mirror names a copy of the site in place of those the
// game's settings name.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "base/exception.h"
#include "net/http_client.h"
#include "platform/file.h"
#include "site/install_names.h"
#include "storage/varne_file_manager.h"
#include "update/release_protocol.h"
#include "update/update_run.h"

namespace {

// The process's reading so far as /proc/self/io counts it (Linux only): what the check read.
void PrintReading() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::uint64_t rchar = 0, read_bytes = 0;
  for (std::uint64_t value; io >> key >> value;) {
    if (key == "rchar:") rchar = value;
    if (key == "read_bytes:") read_bytes = value;
  }
  std::printf("io rchar %llu read_bytes %llu\n", static_cast<unsigned long long>(rchar),
              static_cast<unsigned long long>(read_bytes));
}

}  // namespace

int main(int argc, char** argv) {
  bool verify = false, io = false;
  std::vector<std::tstring> mirrors;
  for (; argc > 1 && argv[1][0] == '-'; --argc, ++argv) {
    verify |= std::strcmp(argv[1], "--verify") == 0;
    io |= std::strcmp(argv[1], "--io") == 0;
    if (std::strncmp(argv[1], "--mirror=", 9) == 0) mirrors.emplace_back(argv[1] + 9);
  }
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr,
                 "usage: update_driver [--verify] [--io] [--mirror=<list-url>]... <list-url> "
                 "[<public-key>]\n");
    return 2;
  }
  try {
    VarneFileManager files;
    // The game's settings come from its package, as the updater reads them at start-up.
    if (platform::IsRegularFile(kGamePackagePath)) files.ReadPackage(kGamePackagePath);
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
    context.check = ConfiguredCheck(verify);
    context.mirror_urls = mirrors.empty() ? ConfiguredMirrors() : mirrors;
    const UpdateOutcome outcome = UpdateRun(std::move(context)).Run();
    if (!outcome.completed) {
      std::fprintf(stderr, "%s\n", outcome.error.c_str());
      return 1;
    }
    std::printf("%d files checked, %d read\n", outcome.total_files, outcome.files_read);
    if (io) PrintReading();
    return 0;
  } catch (const Exception& failure) {
    std::fprintf(stderr, "%s\n", failure.GetText().c_str());
    return 1;
  }
}
