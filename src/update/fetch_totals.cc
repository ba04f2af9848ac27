#include "update/fetch_totals.h"

#include <algorithm>

FetchTally::Reporter& FetchTally::Add() { return reporters_.emplace_back(); }

void FetchTally::Report(Reporter& reporter, std::uint64_t size, std::uint64_t received) {
  const bool next = received < reporter.received || (reporter.size != 0 && size != reporter.size);
  if (next) reporter.ended += reporter.received;
  reporter.size = size;
  reporter.received = received;
}

FetchFigures FetchTally::Sum(std::uint64_t more_total, std::uint64_t more_done) const {
  FetchFigures figures{.bytes_total = more_total, .bytes_done = more_done};
  for (const Reporter& reporter : reporters_) {
    figures.bytes_total += reporter.ended + std::max(reporter.size, reporter.received);
    figures.bytes_done += reporter.ended + reporter.received;
  }
  return figures;
}
