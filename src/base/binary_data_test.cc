#include "base/binary_data.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(BinaryDataTest, RefusedSizesKeepTheBytesAndCopiesOwnTheirs) {
  BinaryData data;
  EXPECT_EQ(data.Allocate(0), E_FAIL);
  ASSERT_EQ(data.SetData("abcd", 4), kResultOk);
  EXPECT_EQ(data.SetData("zz", 0), E_FAIL);
  ASSERT_EQ(data.Allocate(4), kResultOk);  // the same size keeps the bytes
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
