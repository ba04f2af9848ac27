// Block data. The writer runs in the release tool's pass that digests each file, so it is timed
// against our MD5 of the same bytes in the same iteration (target: ratio at most 1.2). The matcher
// updates a 256 MiB file after change A (5 % rewritten in 64 KiB pieces) and change B (200
// insertions and deletions of 1 to 8 KiB): time, and what the update moves (block data, fine
// records, fetched bytes and 400 bytes per request) as a share of the file.
#include <benchmark/benchmark.h>

#include <ctime>

#include "site/testing/block_changes.h"
#include "storage/md5.h"

namespace {

using block_data::testing::Transfer;

constexpr std::size_t kFileSize = 256 << 20;
constexpr std::size_t kPieceSize = 1 << 20;  // what one read of the release tool hands over

const std::shared_ptr<const std::string>& OldFile() {
  static const auto bytes = [] {
    std::mt19937_64 random(1);
    return std::make_shared<const std::string>(block_data::testing::RandomBytes(kFileSize, random));
  }();
  return bytes;
}

// Processor time, not wall time: the machines that run this are shared, and both passes are
// single-threaded.
template <typename Digest>
double SecondsFor(const std::string& bytes, Digest digest) {
  const std::clock_t start = std::clock();
  for (std::size_t at = 0; at < bytes.size(); at += kPieceSize) {
    digest(bytes.data() + at, std::min(kPieceSize, bytes.size() - at));
  }
  return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

void WriterAgainstMd5(benchmark::State& state) {
  const std::string& bytes = *OldFile();
  double writer_seconds = 0;
  double md5_seconds = 0;
  for (auto _ : state) {
    MD5Context md5;
    md5_seconds +=
        SecondsFor(bytes, [&md5](const char* data, std::size_t size) { md5.Update(data, size); });
    benchmark::DoNotOptimize(md5.Final());
    block_data::BlockDataWriter writer;
    const double seconds = SecondsFor(
        bytes, [&writer](const char* data, std::size_t size) { writer.Update(data, size); });
    benchmark::DoNotOptimize(writer.Finish());
    writer_seconds += seconds;
    state.SetIterationTime(seconds);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
  state.counters["md5_MBps"] = state.iterations() * bytes.size() / md5_seconds / 1e6;
  state.counters["writer/md5"] = writer_seconds / md5_seconds;
}

void Update(benchmark::State& state, const block_data::testing::ChangedFile& changed) {
  const std::string& new_bytes = changed.bytes;
  const block_data::BlockDocuments documents = block_data::testing::DocumentsOf(new_bytes);
  Transfer transfer;
  for (auto _ : state) transfer = block_data::testing::Match(OldFile(), documents);
  const double size = static_cast<double>(new_bytes.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * OldFile()->size()));
  state.counters["block_data_%"] = 100.0 * transfer.block_data / size;
  state.counters["fine_records"] = static_cast<double>(transfer.fine_records);
  state.counters["fetched"] = static_cast<double>(transfer.fetched);
  state.counters["requests"] = static_cast<double>(transfer.requests);
  state.counters["moved"] = static_cast<double>(transfer.Moved());
  state.counters["moved_%"] = 100.0 * transfer.Moved() / size;
  state.counters["new_bytes_%"] = 100.0 * changed.new_bytes / size;
}

}  // namespace

int main(int argc, char** argv) {
  const block_data::testing::ChangedFile change_a =
      block_data::testing::Changed(*OldFile(), block_data::testing::Change::kRewrite, 205, 2);
  const block_data::testing::ChangedFile change_b = block_data::testing::Changed(
      *OldFile(), block_data::testing::Change::kInsertOrDelete, 200, 3);
  benchmark::RegisterBenchmark("WriterAgainstMd5/256MiB", WriterAgainstMd5)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Match/256MiB/A", Update, change_a)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Match/256MiB/B", Update, change_b)->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
