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
    bool error;
  } cases[] = {
      {[] { throw RuntimeException("", true); }, "runtime exception.", true},
      {[] { throw Exception("", false); }, "", false},
      {[] { CriticalSection().Leave(); }, "CCriticalSectionをEnterしていないのにLeaveしている",
       true},
      {[] {
         auto* held = new CriticalSection;
         held->Enter();
         delete held;
       },
       "CCriticalSectionをEnterした回数だけLeaveしないまま終了している", true},
      {[] { std::tstring().Format(nullptr); }, "std::tstring::format arguments NULL error.", true},
      {[&] { std::tstring().SetFromData(sizeof odd_big_endian, odd_big_endian); },
       "Odd data size in unicode!?", true},
      {[] { utf8string().CreateBuffer(0); }, "utf8string : CreateBuffer size error.", true},
      {[] { SingletonManager().Register(nullptr); }, "SingletonManager : NULL pointer exception.",
       true},
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
