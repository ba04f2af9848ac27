// Console control events (Ctrl+C, Ctrl+Break, the console closing, log-off, shut-down) stand for
// the requests to end. The system calls the handler on a thread of its own, which only signals;
// the watcher thread calls the owner.
#include "platform/termination.h"

#include <windows.h>

#include <atomic>

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
  NativeHandle request(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  NativeHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!request.Valid() || !stop.Valid()) return;
  request_event = request.Get();
  wake_read_ = std::move(request);
  wake_write_ = std::move(stop);
  watcher_ = std::thread([this] { Watch(); });
  SetConsoleCtrlHandler(&OnRequest, TRUE);
}

TerminationRequests::~TerminationRequests() {
  if (!wake_write_.Valid()) return;
  SetConsoleCtrlHandler(&OnRequest, FALSE);
  request_event = nullptr;
  SetEvent(wake_write_.Get());
  watcher_.join();
}

void TerminationRequests::Watch() {
  const HANDLE events[] = {wake_write_.Get(), wake_read_.Get()};
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
