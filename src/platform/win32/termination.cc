// Console control events (Ctrl+C, Ctrl+Break, the console closing, log-off, shut-down) stand for
// the requests to end. The system calls the handler on a thread of its own, which only signals;
// the watcher thread calls the owner.
#include "platform/termination.h"

#include <windows.h>

#include <atomic>

#include "platform/win32/handle.h"

namespace platform {
namespace {

std::atomic<HANDLE> request_event{nullptr};

BOOL WINAPI OnRequest(DWORD) {
  const HANDLE event = request_event.load();
  if (event == nullptr) return FALSE;  // the system's own handling: the process ends
  SetEvent(event);
  return TRUE;
}

}  // namespace

TerminationRequests::TerminationRequests(std::function<void()> on_request)
    : on_request_(std::move(on_request)) {
  UniqueHandle request(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!request.Valid() || !stop.Valid()) return;
  request_event = request.Get();
  wake_read_ = HandleToInt(request.Release());
  wake_write_ = HandleToInt(stop.Release());
  watcher_ = std::thread([this] { Watch(); });
  SetConsoleCtrlHandler(&OnRequest, TRUE);
}

TerminationRequests::~TerminationRequests() {
  if (wake_write_ < 0) return;
  SetConsoleCtrlHandler(&OnRequest, FALSE);
  request_event = nullptr;
  SetEvent(IntToHandle(wake_write_));
  watcher_.join();
  CloseHandle(IntToHandle(wake_read_));
  CloseHandle(IntToHandle(wake_write_));
}

void TerminationRequests::Watch() {
  const HANDLE events[] = {IntToHandle(wake_write_), IntToHandle(wake_read_)};
  // The stop comes first: once it is set, pending requests are not handled any more.
  while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) on_request_();
}

// Terminated rather than exited: exiting would run the C run-time's clean-up and the threads'
// detach callbacks while other threads may hold their locks.
void EndProcessNow(int status) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  for (;;) Sleep(INFINITE);
}

}  // namespace platform
