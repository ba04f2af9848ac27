#include "ui/varne_updater_dlg.h"

#include <algorithm>
#include <climits>

#include "base/exception.h"
#include "platform/file.h"
#include "res/historical_messages.h"
#include "res/resource.h"
#include "res/strings.h"
#include "site/install_names.h"
#include "storage/opened_file.h"
#include "storage/varne_file_manager.h"
#include "ui/task_line.h"

namespace {

constexpr int kBarScale = 1000;

bool FileExists(const char* name) { return platform::IsRegularFile(name); }

// The install folder, where the game and the updater's helpers run.
std::tstring CurrentFolder() { return platform::GetFullPath("."); }

// The command line's program is cut at the first blank unless quoted, so a path with blanks
// would start another program or none.
std::tstring QuotedIfBlank(const std::tstring& path) {
  if (path.find_first_of(" \t") == std::tstring::npos) return path;
  return "\"" + path + "\"";
}

}  // namespace

CVarneUpdaterDlg::CVarneUpdaterDlg(IDialogView& view, IUpdateDriver& run,
                                   IProcessLauncher& processes)
    : view_(view), run_(run), processes_(processes) {
  module_folder_ = std::tstring::GetModulePath();
  module_folder_.RemoveFileSpec();
  module_folder_.AddBackslash();
}

CVarneUpdaterDlg::~CVarneUpdaterDlg() noexcept(false) { run_.Stop(); }

int CVarneUpdaterDlg::DoModal() {
  if (!OnCreate() || !OnInitDialog()) {
    OnDestroy();
    return 1;
  }
  int result = 0;
  try {
    result = view_.RunModalLoop(*this);
  } catch (...) {
    OnDestroy();
    throw;
  }
  OnDestroy();
  return result;
}

bool CVarneUpdaterDlg::OnCreate() {
  try {
    StartRun();
    return true;
  } catch (const Exception& failure) {
    ShowError(failure.GetText() + CauseParagraphOf(failure));
  } catch (...) {
    ShowError("不明なエラー(OnCreate)");
  }
  return false;
}

void CVarneUpdaterDlg::StartRun() {
  ReadingOwnFile(kDialogConfigName, [&] { config_.LoadFromPackfile(kDialogConfigName); });
  run_.Start(config_.LoadString("serverside_url", ""),
             config_.LoadString("serverside_publickey", ""));
  view_.StartTimer(kTimerId, kTimerPeriodMs);
}

bool CVarneUpdaterDlg::OnInitDialog() {
  try {
    InitDialog();
    return true;
  } catch (const Exception& failure) {
    ShowError(failure.GetText() + CauseParagraphOf(failure));
  } catch (...) {
    ShowError("不明なエラー(OnInitDialog)");
  }
  return false;
}

void CVarneUpdaterDlg::InitDialog() {
  const std::tstring about = LoadResourceString(IDS_ABOUTBOX);
  if (!about.empty()) view_.AppendSystemMenuItem(IDM_ABOUTBOX, about);
  view_.SetIcon(IDR_MAINFRAME);
  EnableStartButton(false);
  view_.SetTitle(kUpdaterTitle);
  view_.SetBarRange(IDC_MAIN_PROGRESS, 0, 0);
  view_.SetBarRange(IDC_TASK_PROGRESS, 0, 0);
  view_.SetControlText(IDC_TASK_EDIT, "no tasks.");
  const std::tstring image = config_.LoadString("main_image", "");
  ReadingOwnFile(image, [&] { image_.Load(image, true); });
  view_.SetSkin(&image_);
  PlaceWindow();
  run_file_name_ = config_.LoadString("runfilename", "");
  PlaceControls();
}

void CVarneUpdaterDlg::PlaceWindow() {
  const int width = image_.GetWidth();
  const int height = image_.GetHeight();
  const ViewRect desktop = view_.GetDesktopArea();
  view_.SetWindowRect({desktop.x + desktop.width / 2 - width / 2,
                       desktop.y + desktop.height / 2 - height / 2, width, height});
  if (auto region = image_.CreateRegion(image_.GetKeyColor())) {
    region_ = std::move(*region);
    view_.SetWindowRegion(region_);
  }
}

ViewRect CVarneUpdaterDlg::LayoutRect(const char* prefix) {
  const std::tstring key = prefix;
  return {config_.LoadInt(key + "_x", 0), config_.LoadInt(key + "_y", 0),
          config_.LoadInt(key + "_width", 0), config_.LoadInt(key + "_height", 0)};
}

void CVarneUpdaterDlg::PlaceControls() {
  view_.MoveControl(IDC_MAIN_PROGRESS, LayoutRect("main_progress"));
  view_.MoveControl(IDC_TASK_PROGRESS, LayoutRect("task_progress"));
  const ViewRect edit = LayoutRect("task_edit");
  view_.MoveControl(IDC_TASK_EDIT, edit);
  // The cell height leaves a pixel above and below the text; saturated so that no layout value
  // can overflow it.
  const int font_height = edit.height < INT_MIN + 2 ? INT_MIN : edit.height - 2;
  view_.SetControlFont(IDC_TASK_EDIT, {font_height, font_height / 2, 400});
  // A character of the box's font is about half its height wide; the box's frame takes a few
  // pixels.
  task_columns_ = font_height >= 2 ? std::max(edit.width - 4, 0) / (font_height / 2) : 0;
  if (view_.HasControl(IDC_QUIT)) view_.MoveControl(IDC_QUIT, LayoutRect("quit_btn"));
  if (view_.HasControl(IDC_START_GAME)) view_.MoveControl(IDC_START_GAME, LayoutRect("main_btn"));
}

void CVarneUpdaterDlg::OnTimer(int timer_id) {
  if (timer_id != kTimerId) return;
  try {
    Tick();
  } catch (const Exception& failure) {
    EndWithError(kErrorLead + failure.GetText() + CauseParagraphOf(failure));
  } catch (...) {
    EndWithError(kUnknownError);
  }
}

void CVarneUpdaterDlg::Tick() {
  const RunStatus status = run_.Poll();
  ShowProgress(status);
  if (status.state == RunState::kFailed) throw run_.GetFailure();
  if (status.state == RunState::kRunning) return;
  run_completed_ = true;
  view_.StopTimer(kTimerId);
  if (FileExists(kUpdaterSwapName)) HandOverToSwapProgram();
  if (run_.IsPackageReplaced()) Restart();
  EnableStartButton(true);
}

// The progress is shown as reported, also a failure's (0 of 0 before the list is read): whether
// the run completed is the state's to tell.
void CVarneUpdaterDlg::ShowProgress(const RunStatus& status) {
  const RunProgress& progress = status.progress;
  const bool figures_shown = view_.ShowRunFigures(progress);
  const FetchFigures& fetch = progress.fetch;
  // Bytes to fetch, once the run tells them, say more of the whole update than files do.
  if (fetch.bytes_total > 0 && status.state != RunState::kCompleted) {
    ShowBar(IDC_MAIN_PROGRESS, fetch.bytes_total, fetch.bytes_done);
  } else {
    ShowBar(IDC_MAIN_PROGRESS, progress.total_files, progress.files_done);
  }
  if (status.state == RunState::kCompleted) {
    ShowBar(IDC_TASK_PROGRESS, 0, 0);
    view_.SetControlText(IDC_TASK_EDIT, "Completed.");
  } else {
    ShowBar(IDC_TASK_PROGRESS, progress.task_total, progress.task_done);
    view_.SetControlText(IDC_TASK_EDIT, figures_shown ? progress.task_text : TaskText(progress));
  }
}

std::tstring CVarneUpdaterDlg::TaskText(const RunProgress& progress) {
  const FetchFigures& fetch = progress.fetch;
  const double rate = Rate(fetch.bytes_done);
  if (fetch.bytes_total == 0 && !fetch.checking) return progress.task_text;
  return TaskLine(progress.task_text, fetch, rate, task_columns_ > 0 ? task_columns_ : INT_MAX);
}

double CVarneUpdaterDlg::Rate(std::uint64_t bytes_done) {
  const auto now = std::chrono::steady_clock::now();
  // Measured from the first bytes seen, so that the time spent on the list and the first checks
  // does not count as a slow transfer.
  if (bytes_done == 0 || bytes_done < rate_base_ || rate_from_ == decltype(now){}) {
    rate_from_ = bytes_done == 0 ? decltype(now){} : now;
    rate_base_ = bytes_done;
    return 0;
  }
  const double seconds = std::chrono::duration<double>(now - rate_from_).count();
  return seconds >= 1 ? static_cast<double>(bytes_done - rate_base_) / seconds : 0;
}

void CVarneUpdaterDlg::ShowBar(int id, std::uint64_t total, std::uint64_t done) {
  // A bar's range is 16 bits wide: larger totals (a file's bytes can pass 4 GiB) are shown in
  // thousandths.
  if (total > kBarScale) {
    // More done than the total would not fit an int; the bar shows full either way.
    const double scaled = static_cast<double>(done) * kBarScale / static_cast<double>(total);
    view_.SetBarRange(id, 0, kBarScale);
    view_.SetBarPosition(id, static_cast<int>(std::min<double>(scaled, kBarScale)));
  } else {
    view_.SetBarRange(id, 0, static_cast<int>(total));
    view_.SetBarPosition(id, static_cast<int>(done));
  }
}

void CVarneUpdaterDlg::HandOverToSwapProgram() {
  VarneFileManager* package = Singleton<VarneFileManager>::GetInstance();
  IFileManager* files = Singleton<IFileManager>::GetInstance();
  if (package == nullptr || files == nullptr) throw Exception(kSwapperLoadError, true);
  // The run may have replaced the package and emptied the manager's directory.
  package->ReadPackage(kGamePackagePath);
  const std::tstring swap_path = module_folder_ + kSwapProgramName;
  {
    const OpenedFile swap_program(*files, kSwapProgramName, kOpenBinaryReadOnly);
    if (!swap_program) throw Exception(kSwapperLoadError, true);
    files->ExtractToFile(swap_program.handle(), swap_path);
  }
  // The player is told before this process ends that another takes its place.
  view_.ShowMessageBox(kConfirmCaption,
                       std::tstring(kUpdaterSwapText) + "\r\n\r\n" + kSelfUpdateNotice);
  // Whether it started is not known to the updater either way: it ends now all the same. Once
  // the new updater is in place, the swap program starts it with this one's options.
  std::tstring command = QuotedIfBlank(swap_path) + " " + kSwapRestartOption;
  if (!restart_arguments_.empty()) command += " " + restart_arguments_;
  processes_.Start(command, CurrentFolder());
  view_.PostQuit(0);
}

void CVarneUpdaterDlg::Restart() {
  view_.ShowMessageBox(kConfirmCaption, kUpdaterRestartText);
  processes_.Start(kUpdaterName, CurrentFolder());
  view_.PostQuit(0);
}

void CVarneUpdaterDlg::EnableStartButton(bool enable) {
  if (!view_.HasControl(IDC_START_GAME)) throw Exception("初期化失敗 : NULL Window", true);
  view_.EnableControl(IDC_START_GAME, enable);
}

void CVarneUpdaterDlg::OnCommand(int control_id) {
  if (control_id == IDC_START_GAME) OnStartGame();
  if (control_id == IDC_QUIT) OnQuit();
}

void CVarneUpdaterDlg::OnSysCommand(unsigned command) {
  if ((command & 0xFFF0) == IDM_ABOUTBOX) {
    view_.ShowAboutBox({kAboutCaption, kAboutVersionLine, kAboutSecondLine});
  } else if ((command & 0xFFF0) == IDialogView::kCloseCommand) {
    OnQuit();
  } else {
    view_.DefaultSysCommand(command);
  }
}

void CVarneUpdaterDlg::OnStartGame() {
  if (!processes_.Start(run_file_name_, CurrentFolder())) {
    throw Exception("Main Exe File Error.", true);
  }
  view_.PostQuit(0);
}

void CVarneUpdaterDlg::OnQuit() {
  if (quit_listener_) quit_listener_();
  view_.EndDialog(1);
}

void CVarneUpdaterDlg::OnDestroy() {
  view_.StopTimer(kTimerId);
  run_.Stop();
}

void CVarneUpdaterDlg::ShowError(const std::tstring& text) {
  error_shown_ = true;
  view_.ShowMessageBox(kErrorCaption, text);
}

void CVarneUpdaterDlg::EndWithError(const std::tstring& text) {
  view_.StopTimer(kTimerId);
  ShowError(text);
  view_.PostQuit(0);
}
