#include "site/release_state.h"

#include <gtest/gtest.h>

#include <string>

#include "storage/testing/storage_test_util.h"
#include "storage/testing/test_folder.h"

namespace {

TEST(ReleaseStateTest, OnlyAWholeRecordReadsAsAState) {
  const storage_testing::InstallFolder folder;
  const KeySet keys{1, {platform::GenerateP256Key().public_key}};
  TrustRoot root{3, "game", keys, platform::GenerateP256Key().public_key};
  for (const InstallState& state : {InstallState{18446744073709551615u, {}},
                                    InstallState{5, RootOfKeys(keys)}, InstallState{6, root}}) {
    ASSERT_TRUE(RecordInstallState(state));
    EXPECT_EQ(ReadInstallState(), state);
  }
  const std::string written = test_support::ReadFile(folder.GetPath() / kReleaseStateName);

  // Whatever else stands there keeps every signed release out rather than reading as 0.
  const std::string damaged[] = {
      "",
      "ReleaseSerial=18446744073709551616\r\n",  // one past 64 bits
      "ReleaseSerial=17",                        // cut short: the digits may be too
      "ReleaseSerial=\r\n",
      "ReleaseSerial=-1\r\n",
      std::string("R\0e\0l\0e\0a\0s\0e\0S\0e\0r\0i\0a\0l\0=\0"
                  "5\0\r\0\n\0",
                  34),                                  // UTF-16, 17 characters
      written.substr(0, written.size() - 2),            // the root cut short
      written.substr(0, written.size() - 12) + "\r\n",  // a root whose text is cut
      written + "TrustedKeys=AAAA\r\n",
  };
  for (const std::string& bytes : damaged) {
    test_support::WriteFile(folder.GetPath() / kReleaseStateName, bytes);
    EXPECT_EQ(ErrorOf([] { ReadInstallState(); }),
              "DownloadManager : Cannot read the installed release (RV7.state is damaged); signed "
              "updates stay refused until it is removed.")
        << bytes;
  }
}

}  // namespace
