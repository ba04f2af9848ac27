// MD5::Digest against OpenSSL's MD5 on the same buffers, in one run; prints ours/OpenSSL in bytes
// per second for each size (target: at least 0.9).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "storage/md5.h"

namespace {

std::vector<std::uint8_t> Buffer(std::size_t size) {
  std::vector<std::uint8_t> data(size);
  std::uint32_t x = 12345;
  for (auto& byte : data) byte = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 24);
  return data;
}

void Ours(benchmark::State& state) {
  const auto data = Buffer(static_cast<std::size_t>(state.range(0)));
  MD5 md5;
  std::uint8_t digest[16];
  for (auto _ : state) {
    md5.Digest(data.data(), static_cast<std::uint32_t>(data.size()), digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void OpenSsl(benchmark::State& state) {
  const auto data = Buffer(static_cast<std::size_t>(state.range(0)));
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  for (auto _ : state) {
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

BENCHMARK(Ours)->Arg(1 << 20)->Arg(64 << 20)->MinTime(2.0);
BENCHMARK(OpenSsl)->Arg(1 << 20)->Arg(64 << 20)->MinTime(2.0);

// Collects bytes per second by benchmark name while the console reporter prints as usual.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) rates_[run.benchmark_name()] = run.counters.at("bytes_per_second");
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatios() {
    for (const char* size : {"1048576", "67108864"}) {
      const double ours = rates_["Ours/" + std::string(size) + "/min_time:2.000"];
      const double reference = rates_["OpenSsl/" + std::string(size) + "/min_time:2.000"];
      std::printf("md5 %s bytes: ours/OpenSSL = %.3f (%.0f vs %.0f MB/s)\n", size, ours / reference,
                  ours / 1e6, reference / 1e6);
    }
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  return 0;
}
