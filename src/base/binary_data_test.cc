#include "base/binary_data.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace {
thread_local bool refuse_next_array = false;
}  // namespace

// Array allocations of this test program, with a switch that makes the next one fail as it would
// when memory runs out.
void* operator new[](std::size_t size) {
  if (refuse_next_array) {
    refuse_next_array = false;
    throw std::bad_alloc();
  }
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace {

TEST(BinaryDataTest, AllocateAndSetData) {
  BinaryData data;
  EXPECT_EQ(data.Allocate(0), E_FAIL);
  EXPECT_EQ(data.GetData(), nullptr);
  ASSERT_EQ(data.SetData("abcd", 4), kResultOk);
  // The same size keeps the bytes.
  ASSERT_EQ(data.Allocate(4), kResultOk);
  EXPECT_EQ(std::memcmp(data.GetData(), "abcd", 4), 0);
  // A refused count keeps the old content.
  EXPECT_EQ(data.SetData("zz", 0), E_FAIL);
  EXPECT_EQ(std::memcmp(data.GetData(), "abcd", 4), 0);
  ASSERT_EQ(data.Allocate(9), kResultOk);
  EXPECT_EQ(data.GetSize(), 9u);
  data.Release();
  EXPECT_EQ(data.GetData(), nullptr);
  EXPECT_EQ(data.GetSize(), 0u);
}

TEST(BinaryDataTest, CopiesOwnTheirBytes) {
  BinaryData empty;
  const BinaryData empty_copy(empty);
  EXPECT_EQ(empty_copy.GetData(), nullptr);
  EXPECT_EQ(empty_copy.GetSize(), 0u);

  BinaryData filled;
  filled.SetData("xyz", 3);
  const BinaryData copy(filled);
  ASSERT_EQ(copy.GetSize(), 3u);
  EXPECT_NE(copy.GetData(), filled.GetData());
  EXPECT_EQ(std::memcmp(copy.GetData(), "xyz", 3), 0);
}

TEST(BinaryDataTest, MemoryExhaustionLeavesObjectEmpty) {
  BinaryData data;
  data.SetData("abc", 3);
  refuse_next_array = true;
  EXPECT_THROW(data.Allocate(100), std::bad_alloc);
  EXPECT_EQ(data.GetData(), nullptr);
  EXPECT_EQ(data.GetSize(), 0u);
  data.SetData("abc", 3);
  refuse_next_array = true;
  EXPECT_THROW(data.SetData("abcdef", 6), std::bad_alloc);
  EXPECT_EQ(data.GetData(), nullptr);
  EXPECT_EQ(data.GetSize(), 0u);
}

}  // namespace
