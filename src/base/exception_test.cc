#include "base/exception.h"

#include <gtest/gtest.h>

namespace {

TEST(ExceptionTest, PrefixesAndErrorMarks) {
  const DefaultFileException file("open error.");
  EXPECT_EQ(file.GetText(), "IFile : DefaultFile : open error.");
  EXPECT_TRUE(file.IsError());
  EXPECT_EQ(HttpClientException("Abort by User.", false).GetText(), "HttpClient : Abort by User.");
  EXPECT_FALSE(HttpClientException("Abort by User.", false).IsError());
  EXPECT_TRUE(ConfigBaseException("File read size error.").IsError());
  EXPECT_EQ(ConfigBaseException("").GetText(), "ConfigBase : ");
  // Only the bare runtime exception can be empty, and then it says so.
  EXPECT_EQ(RuntimeException("", true).GetText(), "runtime exception.");
  EXPECT_EQ(Exception("", false).GetText(), "");
}

// A site that cleans up and throws on a copy as the base class, as resource owners do.
void PassThrough() {
  try {
    throw WinsockBaseException("[worning] Worng Winsock Version.", false);
  } catch (const Exception& failure) {
    throw Exception(failure);
  }
}

TEST(ExceptionTest, PassThroughKeepsTextAndMark) {
  try {
    PassThrough();
    FAIL() << "nothing thrown";
  } catch (const Exception& failure) {
    EXPECT_EQ(failure.GetText(), "WinsockBase : [worning] Worng Winsock Version.");
    EXPECT_FALSE(failure.IsError());
    EXPECT_EQ(dynamic_cast<const RuntimeException*>(&failure), nullptr);
  }
}

}  // namespace
