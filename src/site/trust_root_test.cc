#include "site/trust_root.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "storage/testing/storage_test_util.h"

namespace {

using ::testing::HasSubstr;

constexpr std::int64_t kNow = 1'800'000'000;

struct Keys {
  std::vector<platform::P256Key> pairs;
  explicit Keys(int count) {
    for (int i = 0; i < count; ++i) pairs.push_back(platform::GenerateP256Key());
  }
  KeySet Set(std::size_t threshold) const {
    KeySet set{threshold, {}};
    for (const auto& pair : pairs) set.keys.push_back(pair.public_key);
    return set;
  }
  std::vector<std::string> Pems(std::size_t count) const {
    std::vector<std::string> pems;
    for (std::size_t i = 0; i < count; ++i) pems.push_back(pairs[i].private_pem);
    return pems;
  }
};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A release needs the threshold of distinct keys: a signature repeated does not count twice.
TEST(TrustRootTest, AThresholdOfDistinctKeysSigns) {
  const Keys keys(3);
  ReleaseSignature release;
  release.expires = kNow;
  const std::string one = SignRelease(release, keys.Pems(1));
  EXPECT_THAT(
      ErrorOf([&] { VerifyRelease(one + one.substr(one.find("signature ")), keys.Set(2)); }),
      HasSubstr("does not verify"));
  EXPECT_EQ(ErrorOf([&] { VerifyRelease(SignRelease(release, keys.Pems(2)), keys.Set(2)); }), "");
  const std::string key = KeySetText(keys.Set(1)).substr(2, 88);
  for (const std::string& bad :
       {std::string("AAAA"), "0:" + key, "2:" + key, key + "," + key, "x:" + key, key + ","}) {
    EXPECT_THAT(ErrorOf([&] { ParseKeySet(bad); }), HasSubstr("public key is not valid")) << bad;
  }
}

// Roots change only as the keys before and the new keys both vouch, one version at a time and for
// the same game; configured keys start at the newest root that is theirs.
TEST(TrustRootTest, RootsFollowOnlyWhatBothKeySetsSign) {
  const Keys first(3), second(2), timestamp(1);
  const TrustRoot root1{1, "game", first.Set(2), timestamp.pairs[0].public_key};
  const TrustRoot root2{2, "game", second.Set(1), timestamp.pairs[0].public_key};
  const std::string roots =
      SignRoot(root1, first.Pems(2)) + SignRoot(root2, first.Pems(2) + second.Pems(1));
  EXPECT_EQ(FollowRoots(roots, RootOfKeys(second.Set(1))), root2);
  EXPECT_EQ(FollowRoots(roots, RootOfKeys(timestamp.Set(1))).version, 0u);  // none of its keys
  // A configuration that names its game follows only a root of that game, from the first run on.
  EXPECT_EQ(FollowRoots(roots, RootOfKeys(second.Set(1), "game")), root2);
  EXPECT_THAT(ErrorOf([&] { FollowRoots(roots, RootOfKeys(second.Set(1), "other")); }),
              HasSubstr("another game"));
  EXPECT_THAT(ErrorOf([&] { FollowRoots("", RootOfKeys(second.Set(1), "game")); }),
              HasSubstr("no trust root"));

  TrustRoot other_game = root2, skipped = root2;
  other_game.game = "other";
  skipped.version = 3;
  const std::pair<std::string, const char*> refused[] = {
      {SignRoot(root2, first.Pems(1) + second.Pems(1)), "does not verify"},  // one old key of two
      {SignRoot(root2, first.Pems(2)), "does not verify"},                   // not its own keys
      {SignRoot(other_game, first.Pems(2) + second.Pems(1)), "another game"},
      {SignRoot(skipped, first.Pems(2) + second.Pems(1)), "out of order"},
      {"varne-root 1\nversion 2\n", "malformed"},
  };
  const std::string start = SignRoot(root1, first.Pems(2));
  for (const auto& [next, error] : refused) {
    EXPECT_THAT(ErrorOf([&] { FollowRoots(start + next, root1); }), HasSubstr(error)) << next;
  }
}

// The timestamp binds the release document to the newest root. (Its game, its life and its key are
// the attacks of the updater's end-to-end test.)
TEST(TrustRootTest, TimestampNamesTheReleaseOfThisGameForADay) {
  const Keys keys(1), timestamp(1);
  const TrustRoot root{2, "game", keys.Set(1), timestamp.pairs[0].public_key};
  const ListDigest release{10, platform::Sha256Of("release")};
  const Timestamp good{"game", 2, kNow + kMaxTimestampLife, release};
  const std::string pem = timestamp.pairs[0].private_pem;
  EXPECT_EQ(CheckTimestamp(SignTimestamp(good, pem), root, release, kNow).expires, good.expires);

  const auto with = [&](auto change) {
    Timestamp changed = good;
    change(changed);
    return SignTimestamp(changed, pem);
  };
  const std::pair<std::string, const char*> refused[] = {
      {with([](Timestamp& t) { t.root = 1; }), "older root"},
      {with([](Timestamp& t) { t.release.size = 11; }), "not the one"},
  };
  for (const auto& [document, error] : refused) {
    EXPECT_THAT(ErrorOf([&] { CheckTimestamp(document, root, release, kNow); }), HasSubstr(error));
  }

  // A fresh timestamp at players' clocks: a day off either way is taken; a clock further behind,
  // like a key thief's clock ten years ahead, is refused, the player told of the clock with the
  // date it shows and the date the release was signed.
  constexpr std::int64_t kHour = 3600;
  const std::string fresh = SignTimestamp(good, pem);
  for (const std::int64_t clock : {-24 * kHour, -23 * kHour, 23 * kHour, 24 * kHour - 1}) {
    EXPECT_EQ(ErrorOf([&] { CheckTimestamp(fresh, root, release, kNow + clock); }), "") << clock;
  }
  // Refused for its times, the timestamp is the clock's to explain, with both dates.
  const auto said = [&](std::int64_t clock, std::int64_t signed_at) -> std::string {
    try {
      CheckTimestamp(fresh, root, release, clock, signed_at);
    } catch (const Exception& failure) {
      return failure.GetText() + CauseParagraphOf(failure);
    }
    return "";
  };
  const std::string clock_wrong = "\r\n\r\nPCの時計が正しくないようです。";
  EXPECT_EQ(
      said(kNow - 24 * kHour - 1, kNow - kHour),
      "DownloadManager : timestamp lives too long." +
          CauseParagraph(ErrorCause::kClock, {"2027-01-14T07:59:59Z", "2027-01-15T07:00:00Z"}));
  EXPECT_THAT(said(kNow - 48 * kHour, 0), HasSubstr(clock_wrong));
  EXPECT_THAT(said(kNow + 24 * kHour, 0), HasSubstr("expired." + clock_wrong));
  const std::string thief = with([](Timestamp& t) { t.expires += 10 * 365 * 24 * kHour; });
  EXPECT_THAT(ErrorOf([&] { CheckTimestamp(thief, root, release, kNow); }),
              HasSubstr("lives too long"));
}

}  // namespace
