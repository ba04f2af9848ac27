#include "update/fetch_totals.h"

#include <gtest/gtest.h>

namespace {

// A transfer that falls back or tells another size is the reporter's next; an ended one counts
// what it brought, even when less than its size (a block update given up for the whole file).
TEST(FetchTallyTest, TransfersOneAfterAnotherAddUp) {
  FetchTally tally;
  FetchTally::Reporter& blocks = tally.Add();
  FetchTally::Reporter& packages = tally.Add();
  const struct {
    FetchTally::Reporter* reporter;
    std::uint64_t size, received;
    FetchFigures sum;
  } steps[] = {
      {&packages, 100, 0, {100, 0}},    {&packages, 100, 100, {100, 100}},
      {&packages, 50, 10, {150, 110}},   // fell back: the next package
      {&packages, 500, 20, {610, 130}},  // another size: the next, the last given up at 10 of 50
      {&packages, 40, 5, {170, 135}},   {&blocks, 1000, 300, {1170, 435}},
      {&blocks, 0, 0, {470, 435}},  // the block update ended at 300 of 1000
      {&packages, 40, 40, {470, 470}},
  };
  for (const auto& step : steps) {
    FetchTally::Report(*step.reporter, step.size, step.received);
    EXPECT_EQ(tally.Sum(7, 3), (FetchFigures{step.sum.bytes_total + 7, step.sum.bytes_done + 3}))
        << step.size << " " << step.received;
  }
}

}  // namespace
