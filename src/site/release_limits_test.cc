// The edges of the release's checks, where a comparison off by one or a field left out would still
// pass every ordinary case: the second a release expires, and a timestamp that names a signature
// document of the right size but other bytes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "site/release_signature.h"
#include "site/trust_root.h"
#include "storage/testing/storage_test_util.h"

namespace {

using ::testing::HasSubstr;

constexpr std::int64_t kNow = 1'800'000'000;

TEST(ReleaseLimitsTest, RefusedFromTheSecondItExpiresAndForAnyOtherSignatureBytes) {
  const ListDigest list{10, platform::Sha256Of("list")};
  const ReleaseSignature release{
      .serial = 5, .expires = kNow, .list_size = 10, .list_sha256 = list.sha256, .files = {{}}};
  EXPECT_THAT(ErrorOf([&] { CheckRelease(release, list, 1, kNow, 5); }),
              HasSubstr("release expired."));
  EXPECT_EQ(ErrorOf([&] { CheckRelease(release, list, 1, kNow - 1, 5); }), "");

  const platform::P256Key key = platform::GenerateP256Key();
  const TrustRoot root{2, "game", KeySet{1, {key.public_key}}, key.public_key};
  const ListDigest signature{10, platform::Sha256Of("signature1")};
  const ListDigest same_size{10, platform::Sha256Of("signature2")};
  const std::string timestamp = SignTimestamp({"game", 2, kNow + 3600, signature}, key.private_pem);
  EXPECT_EQ(CheckTimestamp(timestamp, root, signature, kNow).release, signature);
  EXPECT_THAT(ErrorOf([&] { CheckTimestamp(timestamp, root, same_size, kNow); }),
              HasSubstr("not the one the timestamp names"));
}

}  // namespace
