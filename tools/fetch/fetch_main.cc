// varne-fetch <url> [-o <file>] [--proxy <text>] [--user-agent <text>] [-v]
//
// Fetches one document with the updater's own HTTP client, so that a publisher can check that a
// server or proxy answers it. Writes the document to the file or to standard output and exits 0;
// on failure prints the client's message on standard error, and after it what a bare error code in
// it means, and exits 1 (2 for a bad command line).
// -v prints every notification of the client as "step N" on standard error, in order.
// The client's time limits apply (30 s to connect, 60 s without a byte); VARNE_NET_TIMEOUT_MS in
// the environment sets both, in milliseconds, to check how a server or proxy behaves when slow.
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "base/exception.h"
#include "file_sink.h"
#include "net/error_words.h"
#include "net/http_client.h"
#include "platform/console.h"

namespace {

struct Options {
  std::string url;
  std::string output;
  std::optional<std::string> proxy;
  std::optional<std::string> user_agent;
  bool verbose = false;
};

bool ParseArguments(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const bool has_value = i + 1 < argc;
    if (argument == "-v") {
      options.verbose = true;
    } else if (argument == "-o" && has_value) {
      options.output = argv[++i];
    } else if (argument == "--proxy" && has_value) {
      options.proxy = argv[++i];
    } else if (argument == "--user-agent" && has_value) {
      options.user_agent = argv[++i];
    } else if (options.url.empty() && !argument.starts_with("-")) {
      options.url = argument;
    } else {
      return false;
    }
  }
  return !options.url.empty();
}

int PrintStep(int step, HttpClient*, std::uintptr_t) {
  std::fprintf(stderr, "step %d\n", step);
  return 0;
}

void Fetch(const Options& options, FileSink& sink) {
  // Held by pointer: the client's destructor may throw, and that must reach the handler below.
  auto client = std::make_unique<HttpClient>();
  if (options.proxy) client->SetProxy(*options.proxy);
  if (options.user_agent) client->SetUserAgent(*options.user_agent);
  if (options.verbose) client->SetHook(PrintStep, 0);
  client->Request(options.url, sink);
  client.reset();
}

}  // namespace

int main(int argc, char** argv) {
  platform::UseBinaryStandardStreams();
  Options options;
  if (!ParseArguments(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: varne-fetch <url> [-o <file>] [--proxy <host:port>] "
                 "[--user-agent <text>] [-v]\n");
    return 2;
  }
  FileSink sink(options.output == "-" ? "" : options.output);
  try {
    Fetch(options, sink);
    return 0;
  } catch (const Exception& failure) {
    sink.Discard();
    std::fprintf(stderr, "%s\n", ExplainedError(failure.GetText()).c_str());
  } catch (const std::exception& failure) {
    sink.Discard();
    std::fprintf(stderr, "%s\n", failure.what());
  }
  return 1;
}
