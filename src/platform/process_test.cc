#include "platform/process.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace platform
