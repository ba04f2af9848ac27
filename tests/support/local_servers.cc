#include "support/local_servers.h"

#include <cstdlib>
#include <regex>
#include <stdexcept>

#include "net/testing/scripted_server.h"

using net_testing::FindFreePort;

namespace test_support {
namespace {

// Everything a server writes goes to its own folder (@DIR@). As root, nginx must be told to stay
// root, since its default user cannot read a test's temporary folder.
constexpr const char* kNginxConfig = R"(user root;
worker_processes 1;
pid @DIR@/nginx.pid;
error_log @DIR@/error.log;
events { worker_connections 64; }
http {
  access_log off;
  default_type application/octet-stream;
  client_body_temp_path @DIR@/body;
  proxy_temp_path @DIR@/proxy;
  fastcgi_temp_path @DIR@/fastcgi;
  uwsgi_temp_path @DIR@/uwsgi;
  scgi_temp_path @DIR@/scgi;
  @SERVERS@
}
)";

constexpr const char* kTinyProxyConfig = R"(Port @PORT@
Listen 127.0.0.1
Timeout 60
MaxClients 16
Allow 127.0.0.1
PidFile "@DIR@/tinyproxy.pid"
LogFile "@DIR@/tinyproxy.log"
LogLevel Info
User root
Group root
)";

std::string Fill(const std::string& text, const std::string& dir, std::uint16_t port,
                 const std::string& servers = "") {
  const std::string filled = std::regex_replace(text, std::regex("@DIR@"), dir);
  return std::regex_replace(std::regex_replace(filled, std::regex("@PORT@"), std::to_string(port)),
                            std::regex("@SERVERS@"), servers);
}

// Waits until the port is closed again, so that a stopped server is really gone.
void WaitForClose(std::uint16_t port) {
  Eventually([port] { return !Accepts(port); }, 10);
}

}  // namespace

Nginx::Nginx(std::uint16_t port, const std::filesystem::path& server_blocks) : port_(port) {
  const std::string dir = folder_.GetPath().string();
  WriteFile(folder_.GetPath() / "nginx.conf",
            Fill(kNginxConfig, dir, port_, "include " + server_blocks.string() + ";"));
  command_ = "nginx -q -p " + dir + " -e " + dir + "/error.log -c " + dir + "/nginx.conf";
  Run(command_);
  if (!WaitForPort(port_)) throw std::runtime_error("nginx did not start");
}

Nginx::~Nginx() {
  std::system((command_ + " -s stop").c_str());
  WaitForClose(port_);
}

void Nginx::Hold(bool held) const {
  Run(std::string("pkill -") + (held ? "STOP" : "CONT") + " -P $(cat " +
      (folder_.GetPath() / "nginx.pid").string() + ")");
}

TinyProxy::TinyProxy() {
  const std::string dir = folder_.GetPath().string();
  port_ = FindFreePort();
  WriteFile(folder_.GetPath() / "tinyproxy.conf", Fill(kTinyProxyConfig, dir, port_));
  Run("tinyproxy -c " + dir + "/tinyproxy.conf");
  if (!WaitForPort(port_)) throw std::runtime_error("tinyproxy did not start");
}

TinyProxy::~TinyProxy() {
  const std::string pid_file = folder_.GetPath().string() + "/tinyproxy.pid";
  std::system(("kill $(cat " + pid_file + ") 2>/dev/null").c_str());
  WaitForClose(port_);
}

}  // namespace test_support
