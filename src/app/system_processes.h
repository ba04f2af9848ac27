// The updater's processes and windows as the system reports them. Each question opens its own
// connection to the desktop and lists the processes afresh, so the object holds nothing.
#pragma once

#include "ui/process_launcher.h"

class SystemProcesses : public IProcessLauncher, public IWindowSearch {
 public:
  bool Start(const std::tstring& command_line, const std::tstring& folder) override;
  bool IsRunning(const std::tstring& module) override;
  bool WaitForExit(const std::tstring& module, std::chrono::milliseconds limit) override;

  bool HasDesktop() override;
  Window FindWindow(const std::tstring& module) override;
  void Activate(Window window) override;
};
