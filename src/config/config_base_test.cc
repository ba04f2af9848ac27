#include "config/config_base.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/exception.h"
#include "platform/testing/scratch_folder.h"

namespace {

class ConfigBaseTest : public testing::Test {
 protected:
  void Write(const std::string& text) { test_support::WriteFile(path_, text); }

  const test_support::TempFolder folder_{"varne-config"};
  const std::filesystem::path path_ = folder_.GetPath() / "RV7.conf";
};

TEST_F(ConfigBaseTest, LineRules) {
  Write(
      "; comment\r\n[section]\r\n  key  =  value = more  \r\n=empty key\r\n"
      "\tTab=x\r\nkey2=first\r\nkey2=second\r\nnovalue=\r\n");
  ConfigBase config;
  config.Load(path_.string());
  EXPECT_EQ(config.LoadString("key", "d"), "value = more");
  EXPECT_EQ(config.LoadString("", "d"), "empty key");
  EXPECT_EQ(config.LoadString("\tTab", "d"), "x");
  EXPECT_EQ(config.LoadString("key2", "d"), "second");
  EXPECT_EQ(config.LoadString("novalue", "d"), "");
  EXPECT_EQ(config.LoadString("; comment", "d"), "d");
}

TEST_F(ConfigBaseTest, LookupsStoreTheirDefaults) {
  Write("n=42abc\nneg=-7\nnone=abc\nbig=2147483648\nsmall=-2147483649\nmax=2147483647\n");
  ConfigBase config;
  config.Load(path_.string());
  EXPECT_EQ(config.LoadInt("n", 0), 42);
  EXPECT_EQ(config.LoadInt("neg", 0), -7);
  EXPECT_EQ(config.LoadInt("none", 5), 0);
  EXPECT_EQ(config.LoadInt("max", 0), 2147483647);
  EXPECT_EQ(config.LoadInt("absent", 1), 1);
  EXPECT_EQ(config.LoadString("absent", "other"), "1");
  EXPECT_EQ(config.LoadString("text", "17"), "17");
  EXPECT_EQ(config.LoadInt("text", 0), 17);
  for (const char* key : {"big", "small"}) {
    try {
      config.LoadInt(key, 0);
      FAIL() << key;
    } catch (const Exception& failure) {
      EXPECT_EQ(failure.GetText(), "ConfigBase::LoadInt Out of Range.");
      EXPECT_TRUE(failure.IsError());
    }
  }
  // Loading again replaces the table; a missing file leaves it empty.
  std::filesystem::remove(path_);
  config.Load(path_.string());
  EXPECT_EQ(config.LoadString("n", "gone"), "gone");
}

}  // namespace
