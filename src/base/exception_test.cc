// The one table of the base layer's failures with their exact texts and error marks. utf8string
// has no tests of its own: the URL encoding is pinned by the release tool's and the update run's.
#include "base/exception.h"

#include <gtest/gtest.h>

#include <functional>

#include "base/critical_section.h"
#include "base/singleton.h"
#include "base/tstring.h"
#include "base/utf8string.h"

namespace {

TEST(ExceptionTest, EveryBaseFailureWithItsText) {
  const unsigned char odd_big_endian[] = {0xFE, 0xFF, 0x00};
  const struct {
    std::function<void()> fail;
    const char* text;
    bool error = true;
  } cases[] = {
      {.fail = [] { throw RuntimeException("", true); }, .text = "runtime exception."},
      {.fail = [] { throw Exception("", false); }, .text = "", .error = false},
      {.fail = [] { CriticalSection().Leave(); },
       .text = "CCriticalSectionをEnterしていないのにLeaveしている"},
      {.fail =
           [] {
             auto* held = new CriticalSection;
             held->Enter();
             delete held;
           },
       .text = "CCriticalSectionをEnterした回数だけLeaveしないまま終了している"},
      {.fail = [] { std::tstring().Format(nullptr); },
       .text = "std::tstring::format arguments NULL error."},
      {.fail = [&] { std::tstring().SetFromData(sizeof odd_big_endian, odd_big_endian); },
       .text = "Odd data size in unicode!?"},
      {.fail = [] { utf8string().CreateBuffer(0); },
       .text = "utf8string : CreateBuffer size error."},
      {.fail = [] { SingletonManager().Register(nullptr); },
       .text = "SingletonManager : NULL pointer exception."},
  };
  for (const auto& c : cases) {
    try {
      c.fail();
      ADD_FAILURE() << "nothing thrown: " << c.text;
    } catch (const Exception& failure) {
      // Passed on as a copy of the base class, as resource owners do: text and mark stay.
      const Exception passed(failure);
      EXPECT_EQ(passed.GetText(), c.text);
      EXPECT_EQ(passed.IsError(), c.error) << c.text;
    }
  }
}

}  // namespace
