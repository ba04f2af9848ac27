#include "base/utf8string.h"

#include <gtest/gtest.h>

#include "base/exception.h"

namespace {

TEST(Utf8stringTest, TerminatedOnceConvertedAndUrlEncoded) {
  utf8string text;
  EXPECT_EQ(text.GetUrlEncoded(), "");
  text.SetUtf8Data("abc", 4);  // already terminated
  EXPECT_EQ(text.GetSize(), 4u);
  text.SetUtf8Data("\xE3", 1);
  EXPECT_EQ(text.GetUrlEncoded(), "%E3");
  text.SetString("data\\新.bin");
  EXPECT_EQ(text.GetSize(), 13u);
  EXPECT_EQ(text.GetString(), "data\\新.bin");
  EXPECT_EQ(text.GetUrlEncoded(), "%64%61%74%61%5C%E6%96%B0%2E%62%69%6E");
  EXPECT_THROW(text.SetUtf8Data("", 0), Exception);
  EXPECT_EQ(text.GetData(), nullptr);
  // A zero byte inside the text cannot be converted as a whole.
  text.SetUtf8Data("a\0b", 3);
  EXPECT_THROW(text.GetString(), Exception);
}

}  // namespace
