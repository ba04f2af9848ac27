#include "app/single_app.h"

#include "platform/process_list.h"

bool SingleApp::Check(const std::tstring& name, IWindowSearch& windows) {
  std::tstring mutex_name = name.empty() ? std::tstring::GetModulePath() : name;
  mutex_name.BackslashesToQuestionMarks();
  const int result = mutex_.Create(mutex_name);
  if (result == 0) return true;
  // A copy started by the copy that holds the mutex is its restart: the holder is already ending
  // and gives the mutex up at exit, so the restart waits for it instead of giving up.
  if (result == 1 && mutex_.GetOwnerProcessId() == platform::ParentProcessId()) {
    mutex_.Lock();
    return true;
  }
  if (const auto window = windows.FindWindow(std::tstring::GetModulePath())) {
    windows.Activate(window);
  }
  return false;
}
