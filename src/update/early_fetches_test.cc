#include "update/early_fetches.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include "net/testing/scripted_server.h"
#include "site/testing/block_changes.h"
#include "storage/byte_stream.h"

namespace block_update {
namespace {

using block_data::BlockMatcher;
using block_data::PlanRange;
using net_testing::Reply;

// Runs told before the search ends are planned and their data asked for; the plan takes the early
// ranges it asks for exactly and the rest are dropped, so every range is taken once and the
// queue's indices point at the right bytes.
TEST(EarlyFetchesTest, ThePlanTakesTheDataAskedForEarlyAndDropsTheRest) {
  std::mt19937_64 random(3);
  const std::string old_bytes = block_data::testing::RandomBytes(80 * 16384, random);
  std::string new_bytes = old_bytes;
  for (const std::size_t block : {10, 20, 30, 40, 50, 60}) {
    new_bytes.replace(block * 16384 + 100, 9000, block_data::testing::RandomBytes(9000, random));
  }
  const block_data::BlockDocuments documents = block_data::testing::DocumentsOf(new_bytes);
  const block_data::BlockData data = block_data::ParseBlockData(documents.coarse);
  // The fine document and the new file by range, each reply 20 ms late: a server far enough away.
  net_testing::ScriptedServer server;
  server.SetHandler([&](const std::string& request) {
    std::smatch match;
    std::regex_search(request, match, std::regex("GET /(\\w+) [^]*Range: bytes=(\\d+)-(\\d+)"));
    const std::string& whole = match[1] == "fine" ? documents.fine : new_bytes;
    const std::uint64_t first = std::stoull(match[2]), last = std::stoull(match[3]);
    return Reply{{"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + match[2].str() + "-" +
                      match[3].str() + "/" + std::to_string(whole.size()) +
                      "\r\nContent-Length: " + std::to_string(last - first + 1) + "\r\n\r\n",
                  whole.substr(first, last - first + 1)},
                 20,
                 true};
  });
  const std::string base = "http://127.0.0.1:" + std::to_string(server.GetPort()) + "/";
  const std::tstring fine_url(base + "fine"), data_url(base + "data");
  const EarlyFetches::DataRanges ranges_of = [&](std::span<const PlanRange> part) {
    std::vector<RangeQueue::Range> ranges;
    for (const PlanRange& range : part) {
      if (!range.copy) ranges.push_back({data_url, range.offset, range.offset + range.length - 1});
    }
    return ranges;
  };
  RangeQueue queue([](HttpClient&) {}, 4, {});
  queue.Start({{fine_url, 0, 0}}, std::tstring("test"), RangeQueue::More::kYes);
  ASSERT_TRUE(queue.Take(0));  // the queue knows how far the server is
  MemoryStream old(std::make_shared<const std::string>(old_bytes));
  BlockMatcher matcher(data, old);
  const block_index::Entry entry{.fine_offset = 0, .fine_size = documents.fine.size()};
  EarlyFetches early(entry, matcher, data, fine_url, queue, ranges_of);
  // Sixteen runs, as a search would tell them: the six changed blocks in place, and ten blocks that
  // hold no change told at a wrong shift (a wrong guess each: early data the plan never asks for).
  const auto changed = [](std::uint64_t block) { return block % 10 == 0 && block <= 60; };
  for (std::uint64_t block = 5; block < 80; block += 5) {
    const std::int64_t shift = changed(block) ? 0 : 7;
    early.Ask({{block, block + 1}, {shift, shift}});
  }
  early.Ask({{77, 78}, {7, 7}});
  // The probe, the sixteen runs' records and a data range each.
  for (int waited = 0; server.GetRequests().size() < 33 && waited < 1000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  matcher.Search();
  early.SearchEnded();
  std::vector<std::size_t> indices;
  std::vector<PlanRange> plan;
  for (const block_data::BlockRun& gap : matcher.Gaps()) {
    ASSERT_TRUE(early.Holds(gap));
    const std::optional<std::string_view> records = early.Take(gap);
    ASSERT_TRUE(records);
    matcher.Refine(gap, *records);
  }
  plan = matcher.Plan();
  const std::size_t after_search = queue.Add({}, RangeQueue::More::kYes);
  early.AskInOrder(ranges_of(plan), indices);
  early.TakeRest();
  queue.Add({}, RangeQueue::More::kNo);
  const std::vector<RangeQueue::Range> asked = ranges_of(plan);
  ASSERT_EQ(indices.size(), 6u);
  for (std::size_t k = 0; k < asked.size(); ++k) {
    EXPECT_LT(indices[k], after_search) << "asked for again after the search";
    EXPECT_EQ(*queue.Take(indices[k]),
              new_bytes.substr(asked[k].first, asked[k].last - asked[k].first + 1));
  }
}

}  // namespace
}  // namespace block_update
