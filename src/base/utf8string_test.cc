#include "base/utf8string.h"

#include <gtest/gtest.h>

#include <cstring>

#include "base/exception.h"

namespace {

TEST(Utf8stringTest, SetUtf8DataTerminatesOnce) {
  utf8string text;
  text.SetUtf8Data("abc", 3);
  EXPECT_EQ(text.GetSize(), 4u);
  EXPECT_STREQ(text.GetData(), "abc");
  text.SetUtf8Data("abc", 4);
  EXPECT_EQ(text.GetSize(), 4u);
  EXPECT_EQ(text.GetString(), "abc");
}

TEST(Utf8stringTest, NarrowTextRoundTrip) {
  utf8string text;
  text.SetString("ゲーム");
  EXPECT_EQ(text.GetSize(), 10u);  // three bytes per kana and the terminator
  EXPECT_EQ(text.GetString(), "ゲーム");
}

TEST(Utf8stringTest, UrlEncoding) {
  utf8string text;
  text.SetUtf8Data("abc", 3);
  EXPECT_EQ(text.GetUrlEncoded(), "%61%62%63");
  text.SetUtf8Data("\xE3", 1);
  EXPECT_EQ(text.GetUrlEncoded(), "%E3");
  text.SetString("data\\新.bin");
  EXPECT_EQ(text.GetUrlEncoded(), "%64%61%74%61%5C%E6%96%B0%2E%62%69%6E");
}

TEST(Utf8stringTest, EmptyAndRefusedBuffers) {
  utf8string text;
  EXPECT_EQ(text.GetString(), "");
  EXPECT_EQ(text.GetUrlEncoded(), "");
  text.SetUtf8Data("abc", 3);
  try {
    text.CreateBuffer(0);
    FAIL();
  } catch (const Exception& failure) {
    EXPECT_EQ(failure.GetText(), "utf8string : CreateBuffer size error.");
    EXPECT_TRUE(failure.IsError());
  }
  EXPECT_EQ(text.GetData(), nullptr);
  EXPECT_EQ(text.GetSize(), 0u);
  EXPECT_THROW(text.SetUtf8Data("", 0), Exception);
  EXPECT_EQ(text.GetSize(), 0u);
  // A zero byte inside the text cannot be converted as a whole.
  text.SetUtf8Data("a\0b", 3);
  EXPECT_THROW(text.GetString(), Exception);
}

}  // namespace
