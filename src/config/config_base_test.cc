#include "config/config_base.h"

#include <gtest/gtest.h>

#include "storage/testing/storage_test_util.h"
#include "storage/testing/test_folder.h"

namespace {

TEST(ConfigBaseTest, LineRulesAndLookupsThatStoreTheirDefaults) {
  const TestFolder folder;
  folder.Write("RV7.conf",
               "; comment\r\n[section]\r\n  key  =  value = more  \r\n=empty key\r\n"
               "\tTab=x\r\nkey2=first\r\nkey2=second\r\nnovalue=\r\n"
               "n=42abc\nneg=-7\nnone=abc\nbig=2147483648\nsmall=-2147483649\nmax=2147483647\n");
  ConfigBase config;
  config.Load(folder.Path("RV7.conf"));
  EXPECT_EQ(config.LoadString("key", "d"), "value = more");
  EXPECT_EQ(config.LoadString("", "d"), "empty key");
  EXPECT_EQ(config.LoadString("\tTab", "d"), "x");
  EXPECT_EQ(config.LoadString("key2", "d"), "second");
  EXPECT_EQ(config.LoadString("novalue", "d"), "");
  EXPECT_EQ(config.LoadString("; comment", "d"), "d");
  EXPECT_EQ(config.LoadInt("n", 0), 42);
  EXPECT_EQ(config.LoadInt("neg", 0), -7);
  EXPECT_EQ(config.LoadInt("none", 5), 0);
  EXPECT_EQ(config.LoadInt("max", 0), 2147483647);
  EXPECT_EQ(config.LoadInt("absent", 1), 1);
  EXPECT_EQ(config.LoadString("absent", "other"), "1");
  EXPECT_EQ(config.LoadString("text", "17"), "17");
  EXPECT_EQ(config.LoadInt("text", 0), 17);
  for (const char* key : {"big", "small"})
    ExpectFailure([&] { config.LoadInt(key, 0); }, "ConfigBase::LoadInt Out of Range.");
  // Loading again replaces the table; a missing file leaves it empty.
  config.Load(folder.Path("missing.conf"));
  EXPECT_EQ(config.LoadString("n", "gone"), "gone");
}

}  // namespace
