#include "update/digest_ahead.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "update/testing/engine_testing.h"

namespace {

using update_testing::Md5Of;

FileList ListOf(const TestFolder& folder, const std::vector<std::string>& names) {
  FileList list;
  // No listed size: every file is read.
  for (const std::string& name : names) list.push_back({folder.Path(name), "?", ""});
  return list;
}

TEST(DigestAheadTest, ResultsComeInListOrderAndEachFileIsDigestedOnce) {
  TestFolder folder;
  // The first file is the largest, so later ones are ready first; the list is longer than the
  // files in flight, so every slot is used more than once.
  std::vector<std::string> names{"big.bin", "missing.bin", "pipe", "folder", "Sub/Mixed.DAT"};
  std::vector<std::optional<std::string>> expected{Md5Of(PatternBytes(3 << 20, 1)), "", "", "",
                                                   Md5Of("mixed")};
  folder.Write("big.bin", PatternBytes(3 << 20, 1));
  ASSERT_EQ(std::system(("mkfifo '" + folder.Native("pipe").string() + "'").c_str()), 0);
  std::filesystem::create_directory(folder.Native("folder"));
  folder.Write("sub/mixed.dat", "mixed");
  for (int i = 0; i < 60; ++i) {
    names.push_back("f" + std::to_string(i));
    folder.Write(names.back(), PatternBytes(i * 997, i));
    expected.push_back(Md5Of(PatternBytes(i * 997, i)));
  }
  FileList list = ListOf(folder, names);
  // A size below the bar may mean anything: the file is read. Above it, a file of another size
  // is left for the caller to judge.
  list.push_back({folder.Path("big.bin"), "3", ""});
  names.push_back("big.bin listed at 3 bytes");
  expected.push_back(expected.front());
  list.push_back({folder.Path("big.bin"), "2000000", ""});
  names.push_back("big.bin listed at 2000000 bytes");
  expected.push_back(std::nullopt);
  std::vector<std::atomic<int>> digests(list.size());
  DigestAhead ahead(list, {},
                    {.workers = 3,
                     .settle = {},
                     .on_digest = [&](std::size_t i) { ++digests[i]; },
                     .unread_from = 1 << 20});
  // The largest is not wanted after all: the others still come, in order.
  ahead.Discard(0);
  for (std::size_t i = 1; i < list.size(); ++i) {
    const std::optional<DigestAhead::Result> peeked = ahead.Peek(i);
    EXPECT_TRUE(!peeked || *peeked == expected[i]) << names[i];
    EXPECT_EQ(ahead.Take(i), expected[i]) << names[i];
    EXPECT_EQ(digests[i], 1) << names[i];
  }
}

TEST(DigestAheadTest, AFileChangedAfterItsDigestIsDigestedAgainAtItsTurn) {
  using Change = void (*)(const TestFolder&);
  const struct {
    const char* what;
    std::chrono::nanoseconds settle;
    Change change;
  } cases[] = {
      {"grown", {}, [](const TestFolder& f) { f.Write("a", "version 2, longer"); }},
      {"replaced by a file of the same size",
       {},
       [](const TestFolder& f) {
         f.Write("b", "version 2");
         std::filesystem::rename(f.Native("b"), f.Native("a"));
       }},
      {"created", {}, [](const TestFolder& f) { f.Write("a", "version 2"); }},
      // Written again within the file clock's granularity: the stamp alone may not show it.
      {"rewritten in place at once", std::chrono::seconds(2),
       [](const TestFolder& f) { f.Write("a", "version 2"); }},
  };
  for (const auto& c : cases) {
    TestFolder folder;
    if (std::string(c.what) != "created") folder.Write("a", "version 1");
    const FileList list = ListOf(folder, {"a"});
    std::atomic<int> digests = 0;
    DigestAhead ahead(list, {}, {.workers = 1, .settle = c.settle, .on_digest = [&](std::size_t) {
                                   ++digests;
                                   digests.notify_all();
                                 }});
    digests.wait(0);
    c.change(folder);
    EXPECT_EQ(ahead.Take(0), Md5Of(folder.Read("a"))) << c.what;
    EXPECT_EQ(digests, 2) << c.what;
  }
}

}  // namespace
