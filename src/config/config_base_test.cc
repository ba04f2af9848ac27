#include "config/config_base.h"

#include <gtest/gtest.h>

#include <thread>

#include "storage/testing/storage_test_util.h"
#include "storage/testing/test_folder.h"
#include "storage/varne_file_manager.h"

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

// Settings read through the file manager while another thread looks a key up: the table changes
// under the settings' lock, as every other change does.
TEST(ConfigBaseTest, LoadingThroughTheFileManagerWhileAnotherThreadReads) {
  const TestFolder folder;
  std::string utf16 = "\xFF\xFE";  // the dialog's settings are UTF-16 text
  for (const char c : std::string("key=value\r\n")) utf16 += {c, '\0'};
  folder.Write("game.vpk", TestPackage({{"a.conf", utf16}}).Bytes());
  VarneFileManager files;
  files.ReadPackage(folder.Path("game.vpk").c_str());
  ConfigBase config;
  std::thread reader([&config] {
    for (int i = 0; i < 2000; ++i) config.LoadString("other", "x");
  });
  for (int i = 0; i < 200; ++i) config.LoadFromPackfile("a.conf");
  reader.join();
  EXPECT_EQ(config.LoadString("key", ""), "value");
}

// "dlgconfig.conf" as editors save it: UTF-16 in either order with its mark, little-endian without,
// and UTF-8 with or without its mark all give the same entries, Japanese values included.
TEST(ConfigBaseTest, SettingsInEveryEncodingAnEditorSaves) {
  const std::string text = "main_image=スキン.bmp\r\nrunfilename = game.exe\n";
  std::u16string wide = u"main_image=スキン.bmp\r\nrunfilename = game.exe\n";
  std::string le, be;
  for (const char16_t c : wide) {
    le += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    be += {static_cast<char>(c >> 8), static_cast<char>(c & 0xFF)};
  }
  for (const std::string& bytes :
       {"\xFF\xFE" + le, le, "\xFE\xFF" + be, "\xEF\xBB\xBF" + text, text}) {
    std::vector<unsigned char> file(bytes.begin(), bytes.end());
    file.insert(file.end(), 2, 0);  // as the file manager's reading ends it
    ConfigBase config;
    config.AddEntries(file);
    EXPECT_EQ(config.LoadString("main_image", ""), "スキン.bmp") << bytes;
    EXPECT_EQ(config.LoadString("runfilename", ""), "game.exe") << bytes;
  }
}

}  // namespace
