#include "update/release_protocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <map>

#include "base/singleton.h"
#include "site/install_names.h"
#include "update/testing/engine_testing.h"

namespace update_testing {
namespace {

// The publisher's settings in the game's package and the player's in "RV7.conf": the transfers
// held to 1..32, the lower of two caps, and the defaults where a setting cannot be read.
TEST(ConfiguredLimitsTest, ThePublisherAndThePlayerSetThemAndTheLowerCapHolds) {
  InstallFolder install;
  const auto limits = [] {
    const TransferLimits read = ConfiguredLimits();
    return std::pair(read.transfers, read.rate_cap);
  };
  EXPECT_EQ(limits(), std::pair(16, std::uint64_t{0}));
  install.Write("RV7.conf", "DownloadRateLimit=500000\r\n");
  EXPECT_EQ(limits(), std::pair(16, std::uint64_t{500000}));
  std::string settings = "\xFF\xFE";  // the dialog's settings are UTF-16 text
  for (const char c : std::string("serverside_connections=40\r\nserverside_ratelimit=300000\r\n")) {
    settings += {c, '\0'};
  }
  install.Write("game.vpk", TestPackage({{kDialogConfigName, settings}}).Bytes());
  Singleton<VarneFileManager>::GetInstance()->ReadPackage(install.Path("game.vpk").c_str());
  EXPECT_EQ(limits(), std::pair(32, std::uint64_t{300000}));
  install.Write("RV7.conf", "DownloadRateLimit=200000\r\n");
  EXPECT_EQ(limits(), std::pair(32, std::uint64_t{200000}));
  install.Write("RV7.conf", "DownloadRateLimit=-5\r\n");
  EXPECT_EQ(limits(), std::pair(32, std::uint64_t{300000}));
}

// A signed site of one file under `root`, whose one key `key` signs, with the roots published so
// far: each document by what its URL adds to the list's.
std::map<std::string, std::string> SignedSite(const std::string& file, const TrustRoot& root,
                                              const std::string& key, const std::string& roots) {
  const std::int64_t now = std::time(nullptr);
  std::map<std::string, std::string> site{{"", "1::" + file + ":1:" + Md5Of(file) + "\r\n"},
                                          {".roots", roots}};
  site[".sig"] = SignRelease({static_cast<std::uint64_t>(now),
                              now + 86400,
                              site[""].size(),
                              platform::Sha256Of(site[""]),
                              {{}}},
                             {key});
  const ListDigest signature{site[".sig"].size(), platform::Sha256Of(site[".sig"])};
  site[".timestamp"] = SignTimestamp({root.game, root.version, now + 43200, signature}, key);
  return site;
}

// A player reading the site while the publisher renames the documents of a rotation one after the
// other reads the set again and takes the new release whole; a set still mixed after a few reads,
// and a set that agrees but does not pass, are refused, and leave the list as it was.
TEST(FetchSignedListTest, AReadBetweenThePublishersRenamesIsReadAgain) {
  const platform::P256Key first = platform::GenerateP256Key(), second = platform::GenerateP256Key();
  const TrustRoot root1{1, "demo", {1, {first.public_key}}, first.public_key};
  const TrustRoot root2{2, "demo", {1, {second.public_key}}, second.public_key};
  const std::string roots = SignRoot(root1, {first.private_pem});
  const auto before = SignedSite("a", root1, first.private_pem, roots);
  const auto after = SignedSite("b", root2, second.private_pem,
                                roots + SignRoot(root2, {first.private_pem, second.private_pem}));
  // The publisher's renames land after the request numbered `switched` (from 0); a negative number
  // switches back and forth at every request.
  std::atomic<int> requests = 0, switched = 0;
  net_testing::ScriptedServer server;
  server.SetHandler([&](const std::string& request) {
    const int n = requests++;
    const bool late = switched < 0 ? n % 2 == 1 : n >= switched;
    const std::string path = request.substr(4, request.find(' ', 4) - 4);
    return Whole((late ? after : before).at(path.substr(std::string("/list").size())));
  });
  HttpClient client;
  // The list's first entry, the requests made and the refusal, if any.
  const auto read = [&](int at, std::uint64_t serial = 1) {
    requests = 0;
    switched = at;
    FileList list{{"kept", "1", "0"}};
    std::string error;
    try {
      const SignedList signed_list =
          FetchSignedList(client, ListUrl(server), list, {serial, root1}, {});
      EXPECT_EQ(signed_list.trusted.root, root2);
    } catch (const Exception& failure) {
      error = failure.GetText();
    }
    return std::tuple(std::string(list[0].path), requests.load(), error);
  };
  using Read = std::tuple<std::string, int, std::string>;
  // After the list, after the roots, after the signature: each mix is read again once.
  for (const int at : {1, 2, 3}) EXPECT_EQ(read(at), Read("b", 8, "")) << at;
  EXPECT_EQ(read(0), Read("b", 4, ""));
  const auto [kept, reads, error] = read(-1);
  EXPECT_EQ(std::pair(kept, reads), std::pair(std::string("kept"), 16));
  EXPECT_NE(error, "");
  // Every document agrees, but the install holds a later release of that root.
  EXPECT_EQ(read(99, ~std::uint64_t{0}),
            Read("kept", 4, "DownloadManager : older release than installed."));
}

}  // namespace
}  // namespace update_testing
