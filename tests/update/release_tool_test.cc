#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

#include "engine_harness.h"
#include "local_servers.h"
#include "net/testing/scripted_server.h"
#include "platform/path.h"
#include "storage/varne_file_system.h"

namespace test_support {
namespace {

struct ToolResult {
  int status = -1;
  std::string output;  // standard output and standard error
};

ToolResult RunTool(const std::string& arguments) {
  const std::string command =
      std::string(VARNE_BINARY_DIR) + "/bin/varne-release " + arguments + " 2>&1";
  ToolResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

size_t CountFiles(const std::filesystem::path& folder) {
  size_t count = 0;
  for (const auto& item : std::filesystem::recursive_directory_iterator(folder)) {
    count += item.is_regular_file() ? 1 : 0;
  }
  return count;
}

class ReleaseToolTest : public testing::Test {
 protected:
  void SetUp() override {
    Image("a.txt", "alpha");
    Image("data/日本.txt", "ゲーム");
    Image("data/sub/b.bin", std::string(5000, 'b'));
  }

  void Image(const std::string& name, const std::string& bytes) const {
    std::filesystem::create_directories((image_.GetPath() / name).parent_path());
    WriteFile(image_.GetPath() / name, bytes);
  }

  std::string Build(const std::string& options = "") const {
    const ToolResult result =
        RunTool("build '" + image_.GetPath().string() + "' '" + site_.GetPath().string() +
                "' --listen 127.0.0.1:" + std::to_string(port_) + " --path /game/list " + options);
    EXPECT_EQ(result.status, 0) << result.output;
    return result.output.substr(0, result.output.find('\n'));
  }

  std::string Url(const std::string& query = "") const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/game/list" + query;
  }

  TempFolder image_{"varne-image"};
  TempFolder site_{"varne-site"};
  std::uint16_t port_ = net_testing::FindFreePort();
};

TEST_F(ReleaseToolTest, BuildListsEveryFileAndRebuildsIncrementally) {
  EXPECT_EQ(Build(), "3 files, 5014 bytes: 3 packages written, 0 kept, 0 removed");
  EXPECT_EQ(ReadFile(site_.GetPath() / "filelist"),
            "1::a.txt:5:" + Md5Of("alpha") + "\r\n" +
                "1::data\\sub\\b.bin:5000:" + Md5Of(std::string(5000, 'b')) + "\r\n" +
                "1::data\\日本.txt:9:" + Md5Of("ゲーム") + "\r\n");
  EXPECT_EQ(CountFiles(site_.GetPath() / "packages"), 3u);

  // One file changed, one gone, one new: only those packages are touched.
  Image("a.txt", "ALPHA!");
  std::filesystem::remove_all(image_.GetPath() / "data/sub");
  Image("c.txt", "gamma");
  EXPECT_EQ(Build(), "3 files, 20 bytes: 2 packages written, 1 kept, 1 removed");
  EXPECT_EQ(CountFiles(site_.GetPath() / "packages"), 3u);
  EXPECT_FALSE(std::filesystem::exists(
      site_.GetPath() / "packages" /
      "%25%36%34%25%36%31%25%37%34%25%36%31%25%35%43%25%37%33%25%37%35%25%36%32"));

  // A name that the list cannot carry is refused, and the site stays as it was.
  const std::string list = ReadFile(site_.GetPath() / "filelist");
  Image("bad:name.txt", "x");
  const ToolResult refused =
      RunTool("build '" + image_.GetPath().string() + "' '" + site_.GetPath().string() + "'");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.output.find("bad:name.txt"), std::string::npos) << refused.output;
  EXPECT_EQ(ReadFile(site_.GetPath() / "filelist"), list);
}

TEST_F(ReleaseToolTest, ServersAnswerOnlyTheUpdatersUrls) {
  // Signed, so that both servers must also hand out the signature beside the list.
  TempFolder keys("varne-keys");
  const std::string key_file = (keys.GetPath() / "publisher.key").string();
  std::string public_key = RunTool("keygen '" + key_file + "'").output;
  public_key.pop_back();
  Build("--sign '" + key_file + "'");
  const std::string package_query = "?file=%25%36%31%25%32%45%25%37%34%25%37%38%25%37%34&orgsize=5";
  const std::string hostile[] = {
      "?file=%25%32%45%25%32%45%25%35%43%25%36%31&orgsize=1",  // ..\a
      "?file=..%2F..%2Fetc%2Fpasswd&orgsize=1",
      "?file=%25%36%31&orgsize=1",  // not listed
      "?other=1",
  };
  for (int server = 0; server < 2; ++server) {
    std::unique_ptr<Nginx> nginx;
    std::unique_ptr<ReleaseServer> own;
    if (server == 0) {
      nginx = std::make_unique<Nginx>(port_, site_.GetPath() / "nginx-site.conf");
    } else {
      own = std::make_unique<ReleaseServer>(site_.GetPath(), port_);
    }
    const ToolResult check = RunTool("check " + Url());
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_EQ(check.output, "3 files, 5014 bytes\n");
    const ToolResult signed_check = RunTool("check " + Url() + " --public-key " + public_key);
    EXPECT_EQ(signed_check.status, 0) << signed_check.output;
    if (own) {
      // A list changed after it was signed is refused.
      const std::string list = ReadFile(site_.GetPath() / "filelist");
      WriteFile(site_.GetPath() / "filelist", list + "1::extra.dat:1:x\r\n");
      const ToolResult tampered = RunTool("check " + Url() + " --public-key " + public_key);
      EXPECT_EQ(tampered.status, 1);
      EXPECT_NE(tampered.output.find("file list does not match its signature."), std::string::npos)
          << tampered.output;
      WriteFile(site_.GetPath() / "filelist", list);
    }
    // varne-fetch writes what it fetched, and on a refusal exits 1 and leaves no file.
    TempFolder out("varne-fetched");
    const auto fetch = [&](const std::string& query, const std::string& name) {
      const int status =
          std::system((std::string(VARNE_BINARY_DIR) + "/bin/varne-fetch '" + Url(query) +
                       "' -o '" + (out.GetPath() / name).string() + "' 2>/dev/null")
                          .c_str());
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    ASSERT_EQ(fetch(package_query, "got"), 0) << server;
    VarneFileSystem package;
    package.ReadPackage(platform::ToInternalPath((out.GetPath() / "got").string()));
    FileInfoCellEx entry;
    EXPECT_TRUE(package.LookupEntry("a.txt", &entry)) << server;
    for (const std::string& query : hostile) {
      EXPECT_EQ(fetch(query, "refused"), 1) << server << query;
      EXPECT_FALSE(std::filesystem::exists(out.GetPath() / "refused")) << server << query;
    }
  }
  const ToolResult missing = RunTool("check http://127.0.0.1:" + std::to_string(port_) + "/none");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.output.find("HttpClient : "), std::string::npos) << missing.output;
  EXPECT_EQ(RunTool("build only-one-argument").status, 2);
}

}  // namespace
}  // namespace test_support
