#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "base/exception.h"
#include "local_servers.h"
#include "net/http_client.h"

namespace test_support {
namespace {

constexpr std::size_t kBigSize = 64 * 1024 * 1024;

// Bytes that are not a repeating pattern, so a misplaced block cannot compare equal.
std::string Noise(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t x = 2463534242u;
  for (char& byte : bytes) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    byte = static_cast<char>(x);
  }
  return bytes;
}

class StringSink : public IHttpBodySink {
 public:
  void OnBegin(bool, std::uint32_t length) override { body.reserve(length); }
  void OnData(const std::uint8_t* bytes, std::size_t size) override {
    body.append(reinterpret_cast<const char*>(bytes), size);
  }
  void OnEnd(std::uint32_t) override {}
  std::string body;
};

// One nginx and one tinyproxy for the whole suite: starting them is the slow part.
class RealPeersTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    site_ = new TempFolder("varne-site");
    WriteFile(site_->GetPath() / "empty", "");
    WriteFile(site_->GetPath() / "one", "\x7f");
    WriteFile(site_->GetPath() / "big", Noise(kBigSize));
    nginx_ = new Nginx(site_->GetPath());
    proxy_ = new TinyProxy();
  }
  static void TearDownTestSuite() {
    delete proxy_;
    delete nginx_;
    delete site_;
  }

  static std::string Url(const std::string& name) {
    return "http://127.0.0.1:" + std::to_string(nginx_->GetPort()) + "/" + name;
  }
  static std::string ProxyText() { return "127.0.0.1:" + std::to_string(proxy_->GetPort()); }

  // Downloads with a fresh client, held in memory; through the proxy when asked.
  static std::string Download(const std::string& name, bool through_proxy) {
    auto client = std::make_unique<HttpClient>();
    if (through_proxy) {
      client->SetProxy(ProxyText());
      client->Request(Url(name));
    } else {
      client->SetDirectPort(nginx_->GetPort());
      client->Request("http://127.0.0.1/" + name);
    }
    std::string document(client->GetDataSize(), '\0');
    client->ReadData(client->GetDataSize(), document.data());
    return document;
  }

  static TempFolder* site_;
  static Nginx* nginx_;
  static TinyProxy* proxy_;
};

TempFolder* RealPeersTest::site_ = nullptr;
Nginx* RealPeersTest::nginx_ = nullptr;
TinyProxy* RealPeersTest::proxy_ = nullptr;

TEST_F(RealPeersTest, DownloadsMatchTheServedFilesDirectAndThroughTheProxy) {
  for (const bool through_proxy : {false, true}) {
    for (const char* name : {"empty", "one", "big"}) {
      EXPECT_TRUE(Download(name, through_proxy) == ReadFile(site_->GetPath() / name))
          << name << (through_proxy ? " through the proxy" : " direct");
    }
  }
}

TEST_F(RealPeersTest, SinkReceivesTheSameBytes) {
  auto client = std::make_unique<HttpClient>();
  client->SetProxy(ProxyText());
  StringSink sink;
  client->Request(Url("big"), sink);
  EXPECT_EQ(client->GetDataSize(), kBigSize);
  EXPECT_TRUE(sink.body == ReadFile(site_->GetPath() / "big"));
}

TEST_F(RealPeersTest, MissingFileIsTheServersCode) {
  try {
    Download("missing", false);
    FAIL() << "downloaded";
  } catch (const Exception& failure) {
    EXPECT_EQ(failure.GetText(), "HttpClient : Receive error code : 404");
  }
}

TEST_F(RealPeersTest, FetchToolWritesTheDocumentAndReportsFailures) {
  TempFolder out("varne-fetch");
  const std::string tool = std::string(VARNE_BINARY_DIR) + "/bin/varne-fetch";
  const std::filesystem::path file = out.GetPath() / "one";
  const std::filesystem::path log = out.GetPath() / "log";
  const std::string fetch = tool + " " + Url("one") + " --proxy " + ProxyText() +
                            " --user-agent RovanSevenFileListClient -v -o " + file.string() +
                            " 2>" + log.string();
  ASSERT_EQ(std::system(fetch.c_str()), 0);
  EXPECT_EQ(ReadFile(file), "\x7f");
  // One "step 11" per received block; how many blocks there are is up to the network.
  std::string steps = ReadFile(log);
  for (std::size_t at; (at = steps.find("step 11\nstep 11\n")) != std::string::npos;) {
    steps.erase(at, 8);
  }
  EXPECT_EQ(steps,
            "step 1\nstep 3\nstep 5\nstep 6\nstep 8\nstep 12\nstep 9\nstep 14\nstep 15\n"
            "step 11\nstep 17\nstep 18\nstep 19\n");
  const std::filesystem::path missing = out.GetPath() / "missing";
  const std::string fail = tool + " " + Url("missing") + " --proxy " + ProxyText() + " -o " +
                           missing.string() + " 2>" + log.string();
  // Exit status 1, and no partial file left behind.
  EXPECT_EQ(std::system((fail + "; test $? -eq 1").c_str()), 0);
  EXPECT_EQ(ReadFile(log), "HttpClient : Receive error code : 404\n");
  EXPECT_FALSE(std::filesystem::exists(missing));
}

}  // namespace
}  // namespace test_support
