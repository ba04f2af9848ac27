// Processes and windows as a test sets them, for the tests of the dialog and of start-up: every
// question and action is logged as one line, in order. A module runs until it is awaited.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "update/process_launcher.h"

namespace update_testing {

class FakeProcesses : public IProcessLauncher, public IWindowSearch {
 public:
  bool Start(const std::tstring& command_line, const std::tstring& folder) override {
    log.push_back("start " + command_line + " in " + folder);
    return command_line != unstartable;
  }
  bool IsRunning(const std::tstring& module) override {
    log.push_back("running? " + module);
    return running.contains(module);
  }
  bool WaitForExit(const std::tstring& module, std::chrono::milliseconds limit) override {
    log.push_back("wait " + module +
                  (limit == kForever ? "" : " " + std::to_string(limit.count())));
    if (on_wait) on_wait();
    running.erase(module);
    return true;
  }
  bool HasDesktop() override { return desktop; }
  Window FindWindow(const std::tstring& module) override {
    log.push_back("find " + module);
    const auto found = windows.find(module);
    return found != windows.end() ? found->second : 0;
  }
  void Activate(Window window) override { log.push_back("activate " + std::to_string(window)); }

  std::vector<std::string> log;
  std::string unstartable;  // the command line that cannot be started
  std::set<std::string> running;
  std::map<std::string, Window> windows;  // the top-most window of each module
  bool desktop = false;
  std::function<void()> on_wait;  // called while a wait has not ended
};

}  // namespace update_testing
