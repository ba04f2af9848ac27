// Parsing a file list of 1,000,000 entries, and of one entry whose path is 4 KiB deep (target:
// each in under 2 s), and reading the large one as the engine does after the fetch (UTF-8 to
// narrow text, then parsing); the reference is one pass that only counts the line ends.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "base/utf8string.h"
#include "site/file_list.h"

namespace {

constexpr char kDigest[] = "0123456789abcdef0123456789abcdef";

std::string ManyEntries() {
  std::string text;
  for (int i = 0; i < 1000000; ++i) {
    text += "1::data\\folder" + std::to_string(i % 100) + "\\file" + std::to_string(i) +
            ".bin:123456:" + kDigest + "\r\n";
  }
  return text;
}

std::string DeepPath() {
  std::string path;
  while (path.size() < 4096) path += "d\\";
  return "1::" + path + "file.bin:1:" + kDigest + "\r\n";
}

// As the engine reads a fetched list: UTF-8 to narrow text, then parsing.
void ReadDocument(benchmark::State& state, const std::string& document) {
  for (auto _ : state) {
    utf8string utf8;
    utf8.SetUtf8Data(document.data(), static_cast<std::uint32_t>(document.size()));
    FileList list;
    ParseFileList(utf8.GetString(), list);
    benchmark::DoNotOptimize(list.size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.size()));
}

// The parsing alone, of text already narrow.
void Parse(benchmark::State& state, const std::string& document) {
  for (auto _ : state) {
    state.PauseTiming();
    std::tstring text(document);
    FileList list;
    state.ResumeTiming();
    ParseFileList(std::move(text), list);
    benchmark::DoNotOptimize(list.size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.size()));
}

void CountLines(benchmark::State& state, const std::string& document) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::count(document.begin(), document.end(), '\n'));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * document.size()));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string many = ManyEntries();
  const std::string deep = DeepPath();
  benchmark::RegisterBenchmark("ParseFileList/1000000_entries", Parse, many)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("ParseFileList/4KiB_deep_path", Parse, deep)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("ReadListDocument/1000000_entries", ReadDocument, many)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("CountLineEnds/1000000_entries", CountLines, many)
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
