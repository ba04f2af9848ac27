#include "local_servers.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <thread>

#include "net/testing/scripted_server.h"
#include "platform/socket.h"

namespace net_testing {
namespace {

void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

bool Accepts(std::uint16_t port) {
  platform::Socket probe;
  return probe.Create() && probe.Connect(platform::kLoopbackAddress, port);
}

// Waits until the port is closed again, so that a stopped server is really gone.
void WaitForClose(std::uint16_t port) {
  for (int i = 0; i < 200 && Accepts(port); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace

TempFolder::TempFolder(const std::string& prefix) {
  std::random_device random;
  path_ = std::filesystem::temp_directory_path() /
          (prefix + "-" + std::to_string(random()) + std::to_string(random()));
  std::filesystem::create_directories(path_);
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool WaitForPort(std::uint16_t port) {
  for (int i = 0; i < 200; ++i) {
    if (Accepts(port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

Nginx::Nginx(const std::filesystem::path& root) {
  const std::string dir = folder_.GetPath().string();
  port_ = FindFreePort();
  // Everything nginx writes goes to its own folder; as root it must be told to stay root, since
  // its default user cannot read a test's temporary folder.
  WriteFile(folder_.GetPath() / "nginx.conf",
            "user root;\n"
            "worker_processes 1;\n"
            "pid " + dir + "/nginx.pid;\n"
            "error_log " + dir + "/error.log;\n"
            "events { worker_connections 64; }\n"
            "http {\n"
            "  access_log off;\n"
            "  default_type application/octet-stream;\n"
            "  client_body_temp_path " + dir + "/body;\n"
            "  proxy_temp_path " + dir + "/proxy;\n"
            "  fastcgi_temp_path " + dir + "/fastcgi;\n"
            "  uwsgi_temp_path " + dir + "/uwsgi;\n"
            "  scgi_temp_path " + dir + "/scgi;\n"
            "  server {\n"
            "    listen 127.0.0.1:" + std::to_string(port_) + ";\n"
            "    root " + root.string() + ";\n"
            "  }\n"
            "}\n");
  command_ = "nginx -q -p " + dir + " -e " + dir + "/error.log -c " + dir + "/nginx.conf";
  Run(command_);
  if (!WaitForPort(port_)) throw std::runtime_error("nginx did not start");
}

Nginx::~Nginx() {
  std::system((command_ + " -s stop").c_str());
  WaitForClose(port_);
}

TinyProxy::TinyProxy() {
  const std::string dir = folder_.GetPath().string();
  port_ = FindFreePort();
  WriteFile(folder_.GetPath() / "tinyproxy.conf",
            "Port " + std::to_string(port_) + "\n"
            "Listen 127.0.0.1\n"
            "Timeout 60\n"
            "MaxClients 16\n"
            "Allow 127.0.0.1\n"
            "PidFile \"" + dir + "/tinyproxy.pid\"\n"
            "LogFile \"" + dir + "/tinyproxy.log\"\n"
            "LogLevel Warning\n"
            "User root\n"
            "Group root\n");
  Run("tinyproxy -c " + dir + "/tinyproxy.conf");
  if (!WaitForPort(port_)) throw std::runtime_error("tinyproxy did not start");
}

TinyProxy::~TinyProxy() {
  const std::string pid_file = folder_.GetPath().string() + "/tinyproxy.pid";
  std::system(("kill $(cat " + pid_file + ") 2>/dev/null").c_str());
  WaitForClose(port_);
}

}  // namespace net_testing
