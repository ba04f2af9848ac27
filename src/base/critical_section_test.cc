#include "base/critical_section.h"

#include <gtest/gtest.h>

#include <thread>

#include "base/exception.h"

namespace {

// The misuse texts are in exception_test's table.
TEST(CriticalSectionTest, RecursiveOwnerOnlyAndReleasedByTheGuard) {
  CriticalSection lock;
  lock.Enter();
  EXPECT_TRUE(lock.TryEnter());
  EXPECT_EQ(lock.GetCount(), 2);
  bool entered = true, leave_refused = false;
  std::thread([&] {
    entered = lock.TryEnter();
    try {
      lock.Leave();
    } catch (const Exception&) {
      leave_refused = true;
    }
  }).join();
  EXPECT_FALSE(entered);
  EXPECT_TRUE(leave_refused);
  lock.Leave();
  lock.Leave();
  EXPECT_FALSE(lock.IsOwned());
  try {
    CriticalSectionLock hold(lock);
    CriticalSectionLock again(lock);
    EXPECT_EQ(lock.GetCount(), 2);
    throw Exception("boom", true);
  } catch (const Exception&) {
  }
  EXPECT_EQ(lock.GetCount(), 0);
  std::thread([&] { entered = lock.TryEnter() && (lock.Leave(), true); }).join();
  EXPECT_TRUE(entered);
}

}  // namespace
