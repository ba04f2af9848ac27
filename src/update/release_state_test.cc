#include "update/release_state.h"

#include <gtest/gtest.h>

#include <string>

#include "storage/testing/storage_test_util.h"
#include "update/testing/engine_testing.h"

namespace {

TEST(ReleaseStateTest, OnlyAWholeRecordReadsAsASerial) {
  const update_testing::InstallFolder folder;
  EXPECT_EQ(InstalledSerial(), 0u);  // no record yet: the first signed release is taken
  ASSERT_TRUE(RecordInstalledSerial(18446744073709551615u));
  EXPECT_EQ(InstalledSerial(), 18446744073709551615u);

  // Whatever else stands there keeps every signed release out rather than reading as 0.
  const std::string damaged[] = {
      "",
      "garbage\r\n",
      "ReleaseSerial=18446744073709551616\r\n",  // one past 64 bits
      "ReleaseSerial=17",                        // cut short: the digits may be too
      "ReleaseSerial=\r\n",
      "ReleaseSerial=-1\r\n",
      std::string("R\0e\0l\0e\0a\0s\0e\0S\0e\0r\0i\0a\0l\0=\0"
                  "5\0\r\0\n\0",
                  34),  // UTF-16, 17 characters
  };
  for (const std::string& bytes : damaged) {
    test_support::WriteFile(folder.GetPath() / kReleaseStateName, bytes);
    EXPECT_EQ(ErrorOf([] { InstalledSerial(); }),
              "DownloadManager : Cannot read the installed release (RV7.state is damaged); signed "
              "updates stay refused until it is removed.")
        << bytes;
  }
}

}  // namespace
