#include "app/varne_updater_app.h"

#include "app/swap_cleanup.h"
#include "base/exception.h"
#include "config/config_base.h"
#include "platform/file.h"
#include "platform/folder_access.h"
#include "res/strings.h"
#include "site/install_names.h"
#include "storage/varne_file_manager.h"

namespace {

// The single-instance name is the install folder's path with this name appended.
const char kInstanceName[] = "RV7.EXE";

// Shows the failure being handled: the system's own with its text, anything else with a fixed one.
void ShowFailure(IStartupUi& ui) {
  try {
    throw;
  } catch (const Exception& e) {
    ui.ShowMessageBox(kErrorCaption, kErrorLead + e.GetText() + CauseParagraphOf(e));
  } catch (...) {
    ui.ShowMessageBox(kErrorCaption, kUnknownError);
  }
}

}  // namespace

CVarneUpdaterApp::CVarneUpdaterApp(IProcessLauncher& processes, IWindowSearch& windows,
                                   SingletonManager& singletons, const std::tstring& module_path,
                                   std::chrono::milliseconds retry_delay)
    : processes_(processes),
      windows_(windows),
      singletons_(singletons),
      module_path_(module_path),
      retry_delay_(retry_delay) {}

int CVarneUpdaterApp::Run(IStartupUi& ui) {
  InitInstance(ui);
  return exit_status_;
}

std::tstring CVarneUpdaterApp::ModuleFolder() const {
  std::tstring folder = module_path_.empty() ? std::tstring::GetModulePath() : module_path_;
  // Without its own path the updater would take the root folder for the install folder.
  if (folder.empty()) throw Exception("The updater's own path cannot be read.", true);
  folder.RemoveFileSpec();
  return folder;
}

bool CVarneUpdaterApp::InitInstance(IStartupUi& ui) {
  exit_status_ = kFailed;
  try {
    std::tstring install = ModuleFolder() + "\\";
    platform::SetCurrentFolder(install);
    std::tstring instance = install + kInstanceName;
    instance.ToBackslashes();
    if (!single_app_.Check(instance, windows_)) {
      exit_status_ = kRefused;
      return false;
    }
  } catch (...) {
    ShowFailure(ui);
    return false;
  }
  try {
    RunGuarded(ui);
  } catch (...) {
    ShowFailure(ui);
    exit_status_ = kFailed;
  }
  return false;
}

void CVarneUpdaterApp::RunGuarded(IStartupUi& ui) {
  std::tstring folder = ModuleFolder();
  folder.AddBackslash();
  if (!platform::IsFolderWritable(folder)) throw Exception(kReadOnlyFolder, true);
  CleanUpSwapProgram(processes_, folder + kSwapProgramName, retry_delay_);
  OpenPackage();
  DlgConfig config;
  ReadingOwnFile(kDialogConfigName, [&] { config.LoadFromPackfile(kDialogConfigName); });
  const std::tstring game = folder + config.LoadString("runfilename", "");
  if (IsGameRunning(ui, game)) {
    exit_status_ = kRefused;
    return;
  }
  ui.RunDialog();
  if (ui.ErrorShown()) {
    exit_status_ = kFailed;
  } else {
    exit_status_ = ui.RunCompleted() ? kRunCompleted : kFailed;
  }
}

void CVarneUpdaterApp::OpenPackage() {
  if (Singleton<IFileManager>::GetInstance() != nullptr) return;
  auto* files = new VarneFileManager();
  singletons_.Register(files);
  ReadingOwnFile(kGamePackagePath, [&] { files->ReadPackage(kGamePackagePath); });
}

// Without a desktop no process has a window; the game then counts as running when a process runs
// its file, or the refusal could never apply on a terminal.
bool CVarneUpdaterApp::IsGameRunning(IStartupUi& ui, const std::tstring& game) {
  const IWindowSearch::Window window = windows_.FindWindow(game);
  if (window == 0 && (windows_.HasDesktop() || !processes_.IsRunning(game))) return false;
  ui.ShowMessageBox(kInformationCaption, kQuitGameFirst);
  if (window != 0) windows_.Activate(window);
  return true;
}
