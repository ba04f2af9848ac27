#include "platform/process.h"

#include <gtest/gtest.h>

#include "platform/named_mutex.h"
#include "platform/process_list.h"

namespace platform {
namespace {

using Args = std::vector<std::string>;

TEST(ProcessTest, SplitsCommandLinesAsWindowsDoes) {
  // Backslashes count only before a quote.
  const std::pair<const char*, Args> lines[] = {
      {"", {""}},
      {"bin\\game.exe  -w  \"two words\"", {"bin\\game.exe", "-w", "two words"}},
      {"\"My Game\\game.exe\" a\"b c\"d", {"My Game\\game.exe", "ab cd"}},
      {"p a\\\\b \\\\\"x y\" \\\"q", {"p", "a\\\\b", "\\x y", "\"q"}},
  };
  for (const auto& [line, args] : lines) EXPECT_EQ(SplitCommandLine(line), args) << line;
}

// A lock held through one object of this process keeps out every other, as another process's
// would. Locks are the machine's, so the names carry this process's id; a backslash and a length
// past any file or object name must still name one lock each.
TEST(NamedMutexTest, OneHolderPerNameUntilItLetsGo) {
  const std::string name = "Varne\\test " + std::to_string(CurrentProcessId());
  const std::string long_name = name + std::string(400, 'x');
  NamedMutex first, second, other;
  EXPECT_EQ(first.Create(name), NamedMutex::kCreated);
  EXPECT_EQ(second.Create(name), NamedMutex::kExists);
  EXPECT_EQ(second.HolderProcessId(), CurrentProcessId());
  EXPECT_EQ(other.Create("v" + name.substr(1)), NamedMutex::kCreated);  // letter case matters
  EXPECT_EQ(other.Create(long_name + "a"), NamedMutex::kCreated);
  EXPECT_EQ(second.Create(long_name + "a"), NamedMutex::kExists);  // held, not refused
  EXPECT_EQ(second.Create(long_name + "b"), NamedMutex::kCreated);
  first.Wait();  // held already: returns at once
  first.Close();
  EXPECT_EQ(second.Create(name), NamedMutex::kCreated);
  EXPECT_EQ(first.Create(name), NamedMutex::kExists);
  EXPECT_EQ(second.Create(long_name), NamedMutex::kCreated);  // lets go of what it held
  first.Wait();
  EXPECT_EQ(first.HolderProcessId(), CurrentProcessId());
  EXPECT_EQ(second.Create(name), NamedMutex::kExists);
  NamedMutex().Wait();  // nothing open: returns at once
}

}  // namespace
}  // namespace platform
