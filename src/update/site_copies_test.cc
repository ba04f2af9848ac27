#include "update/site_copies.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using std::chrono::seconds;

// One attempt on whichever copy is picked: taking `elapsed` for `bytes`.
std::size_t Attempt(SiteCopies& copies, std::uint64_t bytes, seconds elapsed) {
  SiteCopies::Use use = *copies.Pick();
  use.started -= elapsed;
  copies.Ended(use, bytes);
  return use.copy;
}

TEST(SiteCopiesTest, AttemptsSpreadByRateAndFailuresLeaveOnlyTheCopyAtFault) {
  SiteCopies copies({"http://a/list", "http://b/list", "http://c/list"});
  // Copies not measured yet are each tried, spread by the attempts in flight on them.
  std::vector<SiteCopies::Use> first;
  for (int i = 0; i < 4; ++i) first.push_back(*copies.Pick());
  EXPECT_EQ(first[0].copy, 0u);
  EXPECT_EQ(first[1].copy, 1u);
  EXPECT_EQ(first[2].copy, 2u);
  // Both attempts on the first copy fail in one stall: it counts once, and the copy is asked
  // again only after the others.
  const Exception network = Caused(HttpClientException("idle", true), ErrorCause::kNetwork);
  for (const auto& use : {first[0], first[3]}) EXPECT_TRUE(copies.Blame(use, network));
  for (const auto& use : first) copies.Ended(use, 0);
  // Of the others, the faster measured rate wins.
  EXPECT_EQ(Attempt(copies, 1 << 20, seconds(10)), 1u);
  EXPECT_EQ(Attempt(copies, 1 << 20, seconds(1)), 2u);
  EXPECT_EQ(Attempt(copies, 0, seconds(0)), 2u);
  // The run's own failures blame no copy; bytes that fail a check leave the copy at once.
  const SiteCopies::Use use = *copies.Pick();
  EXPECT_FALSE(copies.Blame(use, Caused(RuntimeException("disk", true), ErrorCause::kDisk)));
  EXPECT_FALSE(copies.Blame(use, RuntimeException("Abort by User.", false)));
  EXPECT_TRUE(copies.Blame(use, RuntimeException("does not match", true)));
  copies.Ended(use, 0);
  // A copy that lacks a file is left as well; the first, which only stalled, is asked again until
  // it has failed three times.
  const SiteCopies::Use on_second = *copies.Pick();
  EXPECT_EQ(on_second.copy, 1u);
  copies.Blame(on_second, RuntimeException("missing", true));
  copies.Ended(on_second, 0);
  for (int failure = 0; failure < 2; ++failure) {
    const SiteCopies::Use on_first = *copies.Pick();
    ASSERT_EQ(on_first.copy, 0u) << failure;
    copies.Blame(on_first, network);
    copies.Ended(on_first, 0);
  }
  EXPECT_FALSE(copies.Pick());
  EXPECT_EQ(copies.Account(),
            " / http://a/list : HttpClient : idle / http://b/list : missing"
            " / http://c/list : does not match");
}

TEST(SiteCopiesTest, TransfersOnManyThreadsShareTheCopies) {
  SiteCopies copies({"http://a/list", "http://b/list"});
  std::vector<std::jthread> transfers;
  for (int t = 0; t < 4; ++t) {
    transfers.emplace_back([&copies] {
      for (int i = 0; i < 500; ++i) {
        const SiteCopies::Use use = *copies.Pick();
        copies.Heard(use);
        copies.Ended(use, 4096);
      }
    });
  }
}

}  // namespace
