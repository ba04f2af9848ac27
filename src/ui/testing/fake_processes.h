// Processes as a test sets them, for the tests of the dialog and of start-up, on a desktop or not
// but without windows: every question and action is logged as one line, in order. Paths below
// `folder` are logged and looked up with "~" in its place. A module runs until it is awaited.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "ui/process_launcher.h"

namespace update_testing {

class FakeProcesses : public IProcessLauncher, public IWindowSearch {
 public:
  bool Start(const std::tstring& command_line, const std::tstring& folder) override {
    log.push_back("start " + Short(command_line) + " in " + Short(folder));
    return command_line != unstartable;
  }
  bool IsRunning(const std::tstring& module) override {
    log.push_back("running? " + Short(module));
    return running.contains(Short(module));
  }
  bool WaitForExit(const std::tstring& module, std::chrono::milliseconds limit) override {
    log.push_back("wait " + Short(module) +
                  (limit == kForever ? "" : " " + std::to_string(limit.count())));
    if (on_wait) on_wait();
    running.erase(Short(module));
    return true;
  }
  bool HasDesktop() override { return desktop; }
  Window FindWindow(const std::tstring& module) override {
    log.push_back("find " + Short(module));
    return 0;
  }
  void Activate(Window window) override { log.push_back("activate " + std::to_string(window)); }

  std::string folder;
  std::vector<std::string> log;
  std::string unstartable;  // the command line that cannot be started
  std::set<std::string> running;
  bool desktop = false;
  std::function<void()> on_wait;  // called while a wait has not ended

 private:
  std::string Short(std::string path) const {
    if (const auto at = path.find(folder); !folder.empty() && at != std::string::npos) {
      path.replace(at, folder.size(), "~");
    }
    return path;
  }
};

}  // namespace update_testing
