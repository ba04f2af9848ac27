#include "base/critical_section.h"

#include <gtest/gtest.h>

#include <thread>

#include "base/exception.h"

namespace {

TEST(CriticalSectionTest, CountsRecursiveEntries) {
  CriticalSection lock;
  EXPECT_FALSE(lock.IsOwned());
  lock.Enter();
  EXPECT_TRUE(lock.TryEnter());
  EXPECT_EQ(lock.GetCount(), 2);
  lock.Leave();
  EXPECT_EQ(lock.GetCount(), 1);
  EXPECT_TRUE(lock.IsOwned());
  lock.Leave();
  EXPECT_EQ(lock.GetCount(), 0);
  EXPECT_FALSE(lock.IsOwned());
}

TEST(CriticalSectionTest, MisuseIsReported) {
  CriticalSection lock;
  try {
    lock.Leave();
    FAIL();
  } catch (const Exception& failure) {
    EXPECT_EQ(failure.GetText(), "CCriticalSectionをEnterしていないのにLeaveしている");
    EXPECT_TRUE(failure.IsError());
  }
  EXPECT_EQ(lock.GetCount(), 0);

  auto* held = new CriticalSection;
  held->Enter();
  try {
    delete held;
    FAIL();
  } catch (const Exception& failure) {
    EXPECT_EQ(failure.GetText(), "CCriticalSectionをEnterした回数だけLeaveしないまま終了している");
  }
}

TEST(CriticalSectionTest, OtherThreadsCannotEnterOrLeave) {
  CriticalSection lock;
  lock.Enter();
  bool entered = true;
  bool leave_refused = false;
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
  EXPECT_EQ(lock.GetCount(), 1);
  lock.Leave();
  std::thread([&] {
    entered = lock.TryEnter();
    if (entered) lock.Leave();
  }).join();
  EXPECT_TRUE(entered);
}

TEST(CriticalSectionTest, GuardReleasesWhenExceptionPasses) {
  CriticalSection lock;
  try {
    CriticalSectionLock hold(lock);
    CriticalSectionLock again(lock);
    EXPECT_EQ(lock.GetCount(), 2);
    throw Exception("boom", true);
  } catch (const Exception&) {
  }
  EXPECT_EQ(lock.GetCount(), 0);
  EXPECT_FALSE(lock.IsOwned());
}

}  // namespace
