#include "base/binary_data.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(BinaryDataTest, RefusedSizesAndTheSameSizeKeepTheBytes) {
  BinaryData data;
  EXPECT_EQ(data.Allocate(0), E_FAIL);
  ASSERT_EQ(data.SetData("abcd", 4), kResultOk);
  EXPECT_EQ(data.SetData("zz", 0), E_FAIL);
  ASSERT_EQ(data.Allocate(4), kResultOk);
  EXPECT_EQ(std::memcmp(data.GetData(), "abcd", 4), 0);
}

TEST(BinaryDataTest, CopiesOwnTheirBytes) {
  BinaryData data;
  ASSERT_EQ(data.SetData("abcd", 4), kResultOk);
  const BinaryData copy(data);
  ASSERT_EQ(copy.GetSize(), 4u);
  EXPECT_NE(copy.GetData(), data.GetData());
  EXPECT_EQ(std::memcmp(copy.GetData(), "abcd", 4), 0);
  data.Release();
  EXPECT_EQ(data.GetData(), nullptr);
  EXPECT_EQ(data.GetSize(), 0u);
  EXPECT_EQ(BinaryData(data).GetData(), nullptr);
}

}  // namespace
