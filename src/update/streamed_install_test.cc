#include "update/streamed_install.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/crypto.h"
#include "platform/testing/scratch_folder.h"
#include "storage/testing/storage_test_util.h"
#include "storage/testing/test_folder.h"

namespace {

namespace fs = std::filesystem;

class StreamedInstallTest : public test_support::ScratchFolderTest {
 protected:
  // Feeds the package in pieces of the given sizes (the rest in one), then completes.
  bool Install(const std::string& package, const ExpectedContent& expected,
               std::vector<std::size_t> pieces = {}, bool ready = true,
               const FileEntry& listed = {"Data\\Game.bin", "", ""}) {
    StreamedInstall install(
        listed, Path("game.bin"), expected, [ready] { return ready; }, digests_);
    std::size_t at = 0;
    pieces.push_back(package.size());
    for (const std::size_t piece : pieces) {
      const std::size_t size = std::min(piece, package.size() - at);
      install.Feed(reinterpret_cast<const std::uint8_t*>(package.data()) + at, size);
      at += size;
    }
    return install.Complete();
  }
  std::size_t FilesLeft() const {
    return std::distance(fs::directory_iterator(GetPath()), fs::directory_iterator());
  }

  InstallDigests digests_;
};

ExpectedContent ExpectedOf(const std::string& data) {
  ExpectedContent expected;
  expected.size = data.size();
  MD5().Digest(data.data(), static_cast<std::uint32_t>(data.size()), expected.md5.data());
  return expected;
}

// Scrambled or plain, in pieces that split the header, the record, the name and the data anywhere.
TEST_F(StreamedInstallTest, TheListedFilesPackageIsInstalledWhateverPiecesItComesIn) {
  const std::string data = PatternBytes(3 << 20, 5);
  for (const std::uint32_t scramble : {1u, 0u}) {
    const std::string package = TestPackage({{"data\\game.BIN", data}}, scramble).Bytes();
    EXPECT_TRUE(Install(package, ExpectedOf(data), {1, 55, 2, 70, 3, 1 << 20}));
    EXPECT_EQ(Read("game.bin"), data);
  }
  ExpectedContent signed_content = ExpectedOf("x");
  signed_content.sha256 = platform::Sha256Of("x");
  EXPECT_TRUE(Install(TestPackage({{"Data\\Game.bin", "x"}}).Bytes(), signed_content, {3}));
  EXPECT_EQ(Read("game.bin"), "x");
  // No size vouched for: the digest alone decides. The entry may bear the list's own spelling.
  ExpectedContent any_size = ExpectedOf("y");
  any_size.size.reset();
  EXPECT_TRUE(Install(TestPackage({{".\\Data\\Game.bin", "y"}}).Bytes(), any_size, {}, true,
                      {"Data\\Game.bin", "", "", ".\\Data\\Game.bin"}));
  EXPECT_EQ(Read("game.bin"), "y");
  EXPECT_EQ(FilesLeft(), 1u);
}

// Whatever is not exactly the listed file's package, or cannot be written, is declined: the file
// stays as it was and nothing else is left beside it.
TEST_F(StreamedInstallTest, AnythingElseIsDeclinedLeavingTheFileAlone) {
  Write("game.bin", "old");
  const std::string data = PatternBytes(5000, 9);
  const std::string package = TestPackage({{"Data\\Game.bin", data}}).Bytes();
  std::string tampered = package;
  tampered[tampered.size() - 10] ^= 1;
  ExpectedContent wrong_sha256 = ExpectedOf(data);
  wrong_sha256.sha256 = platform::Sha256Of("other");
  EXPECT_FALSE(Install(package, ExpectedOf(data + "!")));  // the record holds another file
  EXPECT_FALSE(Install(tampered, ExpectedOf(data)));       // bytes that do not match it
  EXPECT_FALSE(Install(package, wrong_sha256));
  EXPECT_FALSE(Install(package.substr(0, package.size() - 1), ExpectedOf(data)));
  EXPECT_FALSE(Install(package, ExpectedOf(data), {}, false));  // the target is not ready
  EXPECT_FALSE(Install(package, ExpectedOf(data), {}, true, {"Data\\Other.bin", "", ""}));
  EXPECT_FALSE(
      Install(TestPackage({{"Data\\Game.bin", data}, {"b", "c"}}).Bytes(), ExpectedOf(data)));
  EXPECT_EQ(Read("game.bin"), "old");
  EXPECT_EQ(FilesLeft(), 1u);
}

}  // namespace
