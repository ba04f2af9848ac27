#include "site/release_signature.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "storage/testing/storage_test_util.h"

namespace {

using ::testing::HasSubstr;

const std::string kList = "1::a.txt:3:900150983cd24fb0d6963f7d28e17f72\r\n";
constexpr std::int64_t kNow = 1'800'000'000;

struct Keys {
  platform::P256Key key = platform::GenerateP256Key();
  KeySet public_text{1, {key.public_key}};
};

ReleaseSignature Release() {
  ReleaseSignature release;
  release.serial = 7;
  release.expires = kNow + 3600;
  release.list_size = kList.size();
  release.list_sha256 = platform::Sha256Of(kList);
  release.files = {platform::Sha256Of("abc")};
  return release;
}

TEST(ReleaseSignatureTest, SignedDocumentVerifiesAndEveryAlterationIsRefused) {
  const Keys keys;
  const std::string document = SignRelease(Release(), {keys.key.private_pem});
  EXPECT_EQ(VerifyRelease(document, keys.public_text).serial, 7u);
  EXPECT_THAT(document, HasSubstr("expires 2027-01-15T09:00:00Z\n"));

  // Every signed byte counts: change any one and the signature no longer verifies.
  const std::size_t signed_size = document.rfind("signature ");
  for (std::size_t i = 0; i < signed_size; i += 7) {
    std::string altered = document;
    altered[i] = altered[i] == '1' ? '2' : '1';
    EXPECT_THAT(ErrorOf([&] { VerifyRelease(altered, keys.public_text); }),
                HasSubstr("signature does not verify."))
        << "byte " << i;
  }
  // Each signature line costs a verification, so a stranger's document may carry only a few.
  std::string crowded = document;
  for (std::size_t i = 0; i < kMaxSignatures; ++i) crowded += document.substr(signed_size);
  EXPECT_EQ(ErrorOf([&] { VerifyRelease(crowded, keys.public_text); }),
            "DownloadManager : signature document has too many signatures.");
  for (const std::string& broken :
       {std::string(), document.substr(0, document.size() - 1), document + "x\n",
        document.substr(0, signed_size) + "signature !!\n"}) {
    EXPECT_NE(ErrorOf([&] { VerifyRelease(broken, keys.public_text); }), "");
  }
}

}  // namespace
