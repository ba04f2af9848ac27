// Install folders for the start-up tests: a temporary folder with the game's package holding
// "dlgconfig.conf", and copies of a real program to stand for the game or the swap program.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/startup_ui.h"
#include "base/tstring.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/process_list.h"
#include "storage/test_folder.h"
#include "storage/varne_file_system.h"

namespace app_test {

// UTF-16LE with a byte-order mark, as "dlgconfig.conf" is stored (ASCII text only).
inline std::string Utf16(const std::string& text) {
  std::string bytes = "\xFF\xFE";
  for (const char c : text) bytes += {c, '\0'};
  return bytes;
}

using Entries = std::vector<std::pair<std::string, std::string>>;

class Install {
 public:
  // An install folder whose package ".\RV7.vpk" holds the given entries.
  explicit Install(const Entries& entries) {
    for (const auto& [name, bytes] : entries) staging_.Write(name, bytes);
    VarneFileSystem package;
    for (const auto& [name, bytes] : entries) package.AddFile(staging_.Path(name), staging_.Path());
    package.WritePackage(folder_.Path("RV7.vpk"), 1);
  }
  static Install WithGame(const std::string& run_file_name) {
    return Install(Entries{{"dlgconfig.conf", Utf16("runfilename=" + run_file_name + "\r\n")}});
  }
  const TestFolder& Folder() const { return folder_; }
  // The path the updater would run from, which makes this folder its install folder.
  std::tstring UpdaterPath() const { return folder_.Path("RV7WIN9XME.EXE"); }
  std::tstring InstanceName() const {
    std::tstring name = folder_.Path("RV7.EXE");
    name.BackslashesToQuestionMarks();
    return name;
  }
  // Runs a copy of sleep as `name` in this folder for `seconds`; returns once it runs.
  void StartCopy(const std::string& name, const std::string& seconds) const {
    std::filesystem::copy_file("/bin/sleep", folder_.Native(name),
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_TRUE(platform::StartProcess(name + " " + seconds, folder_.Path()));
    const std::string module = platform::ModulePathOf(folder_.Path(name));
    for (int i = 0; i < 500 && !IsRunning(module); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(IsRunning(module));
  }
  static bool IsRunning(const std::string& module) {
    for (const auto& process : platform::ListProcesses()) {
      if (process.module == module) return true;
    }
    return false;
  }

 private:
  TestFolder staging_;
  TestFolder folder_;
};

// Records what start-up shows; the dialog's behaviour is the test's choice.
class FakeUi : public IStartupUi {
 public:
  struct Box {
    std::string caption, text;
  };
  void ShowMessageBox(const std::tstring& caption, const std::tstring& text) override {
    boxes.push_back({caption, text});
  }
  void RunDialog() override {
    ++dialogs;
    if (dialog) dialog(*this);
  }
  bool RunCompleted() const override { return completed; }
  bool ErrorShown() const override { return error_shown; }

  std::vector<Box> boxes;
  int dialogs = 0;
  bool completed = true;
  bool error_shown = false;
  std::function<void(FakeUi&)> dialog;
};

// Start-up looks for windows only where there is a desktop; these tests run without one.
inline void WithoutDisplay() { unsetenv("DISPLAY"); }

}  // namespace app_test
