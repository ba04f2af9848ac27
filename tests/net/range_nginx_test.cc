// Range requests against a stock nginx: exact bytes over one kept connection.
#include <gtest/gtest.h>

#include <algorithm>

#include "net/http_client.h"
#include "net/testing/range_recorder.h"
#include "net/testing/scripted_server.h"
#include "support/local_servers.h"

namespace test_support {
namespace {

TEST(RangeNginxTest, RangesOverOneConnection) {
  TempFolder site("varne-range-site");
  std::string file(200000, '\0');
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>(i * 131 + i / 251);
  WriteFile(site.GetPath() / "www" / "data.bin", file);
  const std::string port = std::to_string(net_testing::FindFreePort()),
                    log_file = (site.GetPath() / "access.log").string();
  WriteFile(site.GetPath() / "servers.conf",
            "log_format connection '$connection';\nserver { listen 127.0.0.1:" + port + "; root " +
                (site.GetPath() / "www").string() + "; access_log " + log_file +
                " connection; }\n");
  Nginx nginx(static_cast<std::uint16_t>(std::stoi(port)), site.GetPath() / "servers.conf");
  HttpClient client;
  // One byte, a range over several receive blocks, and the last byte.
  for (const auto& [first, last] : {std::pair<int, int>{0, 0}, {1000, 150999}, {199999, 199999}}) {
    net_testing::RangeRecorder recorder;
    const auto verdict =
        client.RequestRange("http://127.0.0.1:" + port + "/data.bin", first, last, recorder);
    EXPECT_TRUE(verdict.served && verdict.total == file.size());
    EXPECT_EQ(recorder.first, static_cast<std::uint64_t>(first));
    EXPECT_TRUE(recorder.received == file.substr(first, last - first + 1)) << first;
  }
  // nginx numbers its connections: the three requests came over one.
  std::string log;
  ASSERT_TRUE(
      Eventually([&] { return std::ranges::count(log = ReadFile(log_file), '\n') == 3; }, 10));
  const std::string connection = log.substr(0, log.find('\n') + 1);
  EXPECT_EQ(log, connection + connection + connection);
}

}  // namespace
}  // namespace test_support
