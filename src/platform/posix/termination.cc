#include "platform/termination.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace platform {
namespace {

constexpr int kRequests[] = {SIGTERM, SIGINT, SIGHUP};
constexpr char kRequest = 1;
constexpr char kStopWatching = 0;

// The handler may only write to a pipe: the watcher thread does the rest.
std::atomic<int> request_pipe{-1};

void OnRequest(int) {
  const int saved = errno;
  const int pipe = request_pipe.load();
  if (pipe >= 0) {
    const ssize_t written = write(pipe, &kRequest, 1);
    static_cast<void>(written);  // a full pipe holds a request already
  }
  errno = saved;
}

void HandleRequests(void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // Calls that the handler interrupts go on, as they would without it.
  action.sa_flags = SA_RESTART;
  for (const int request : kRequests) sigaction(request, &action, nullptr);
}

}  // namespace

TerminationRequests::TerminationRequests(std::function<void()> on_request)
    : on_request_(std::move(on_request)) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return;
  wake_read_.Reset(ends[0]);
  wake_write_.Reset(ends[1]);
  // A handler must never block, even when requests pile up faster than they are handled.
  fcntl(ends[1], F_SETFL, O_NONBLOCK);
  request_pipe = ends[1];
  watcher_ = std::thread([this] { Watch(); });
  HandleRequests(&OnRequest);
}

TerminationRequests::~TerminationRequests() {
  if (!wake_write_.Valid()) return;
  HandleRequests(SIG_DFL);
  request_pipe = -1;
  while (write(wake_write_.Get(), &kStopWatching, 1) < 0 && errno == EAGAIN) {
    // A full pipe is drained by the watcher, which then reads the stop.
    std::this_thread::yield();
  }
  watcher_.join();
}

void TerminationRequests::Watch() {
  char message = kStopWatching;
  for (;;) {
    const ssize_t count = read(wake_read_.Get(), &message, 1);
    if (count < 0 && errno == EINTR) continue;
    if (count != 1 || message == kStopWatching) return;
    on_request_();
  }
}

void EndProcessNow(int status) { _exit(status); }

}  // namespace platform
