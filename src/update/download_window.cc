#include "update/download_window.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <set>
#include <thread>
#include <utility>

#include "net/http_client.h"
#include "platform/file.h"
#include "update/package_transfer.h"
#include "update/package_way.h"
#include "update/site_copies.h"
#include "update/streamed_install.h"

namespace {

// How often the run reports the transfers' progress while it waits for a verdict.
constexpr auto kReportInterval = std::chrono::milliseconds(50);
// Files whose transfers have ended wait for their verdicts without holding a transfer slot, so a
// slow file at the front does not leave the others idle; up to this many per slot.
constexpr std::size_t kWaitingPerSlot = 4;

}  // namespace

// A transfer's figures, kept for the progress after the transfer itself is gone.
struct DownloadWindow::Counters {
  std::atomic<std::uint64_t> size{0};
  std::atomic<std::uint64_t> received{0};
};

struct DownloadWindow::Slot {
  HttpClient client;
  InstallDigests digests;
  bool busy = false;  // a transfer runs on it; under the window's lock
};

struct DownloadWindow::Flight {
  InstallJob job;
  std::tstring temporary;
  // The target's folders were readied, on the run's thread, when the transfer started.
  bool target_ready = false;
  Slot* slot = nullptr;
  std::shared_ptr<Counters> counters = std::make_shared<Counters>();
  // Written by the transfer's thread, read by the run's once ended is set under the lock.
  std::unique_ptr<StreamedInstall> install;
  std::optional<SiteCopies::Use> copy;  // the copy of the site that brought the package
  bool resumed = false;                 // the package came from more than one copy
  bool checked = false;
  std::exception_ptr failure;
  bool ended = false;
  std::thread thread;
};

DownloadWindow::DownloadWindow(int transfers, ClientSetup setup, PackageServer& server,
                               VarneFileManager& files, InstallFolder& folder, std::stop_token stop,
                               int& files_done, TransferProgress progress)
    : transfers_(std::clamp(transfers, 1, 32)),
      setup_(std::move(setup)),
      server_(server),
      files_(files),
      folder_(folder),
      stop_(std::move(stop)),
      files_done_(files_done),
      progress_(std::move(progress)) {}

DownloadWindow::~DownloadWindow() { AbortAll(); }

void DownloadWindow::Add(const InstallJob& job) {
  MakeRoom();
  ThrowIfStopped(stop_);
  auto flight = std::make_unique<Flight>();
  flight->job = job;
  flight->temporary = TemporaryFor(job);
  flight->slot = &FreeSlot();
  // The folder is the run's alone: its target is readied here rather than on the transfer's thread.
  flight->target_ready = folder_.TryReady(job.target);
  Flight& started = *flight;
  shown_.push_back(started.counters);
  flights_.push_back(std::move(flight));
  try {
    started.thread = std::thread([this, &started] { Transfer(started); });
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> hold(lock_);
    started.slot->busy = false;
    flights_.pop_back();
    throw DownloadManagerException("Failed thread create.", true);
  }
}

void DownloadWindow::Drain() {
  while (!flights_.empty()) Settle(*TakeOldest());
}

void DownloadWindow::NextTask() {
  shown_.clear();
  for (const auto& flight : flights_) shown_.push_back(flight->counters);
}

void DownloadWindow::KeepChecked() {
  AbortAll();
  while (!flights_.empty()) {
    std::unique_ptr<Flight> flight = std::move(flights_.front());
    flights_.pop_front();
    if (flight->checked && flight->install->Complete(&folder_.Batch())) {
      folder_.Installed(flight->job);
    } else {
      --files_done_;
    }
    flight->install.reset();
    platform::RemoveFile(flight->temporary);
  }
}

void DownloadWindow::MakeRoom() {
  for (;;) {
    const std::size_t seen = Ends();
    while (!flights_.empty() && Ended(*flights_.front())) Settle(*TakeOldest());
    if (Transferring() < transfers_ && flights_.size() < kWaitingPerSlot * transfers_) return;
    WaitForAnEnd(seen);
  }
}

std::size_t DownloadWindow::Ends() {
  std::lock_guard<std::mutex> hold(lock_);
  return ends_;
}

bool DownloadWindow::Ended(const Flight& flight) {
  std::lock_guard<std::mutex> hold(lock_);
  return flight.ended;
}

int DownloadWindow::Transferring() {
  std::lock_guard<std::mutex> hold(lock_);
  return static_cast<int>(std::count_if(flights_.begin(), flights_.end(),
                                        [](const auto& flight) { return !flight->ended; }));
}

void DownloadWindow::WaitForAnEnd(std::size_t seen) {
  std::unique_lock<std::mutex> hold(lock_);
  if (ended_.wait_for(hold, kReportInterval, [&] { return ends_ != seen; })) return;
  hold.unlock();
  ReportProgress();
}

DownloadWindow::Slot& DownloadWindow::FreeSlot() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto& slot : slots_) {
      if (!slot->busy) {
        slot->busy = true;
        return *slot;
      }
    }
  }
  Slot& slot = *slots_.emplace_back(std::make_unique<Slot>());
  slot.busy = true;
  setup_(slot.client);
  // A stop ends each transfer at once, as it ends the run's own.
  slot.client.SetStop(stop_);
  return slot;
}

std::tstring DownloadWindow::TemporaryFor(const InstallJob& job) const {
  // A package in flight is created on its transfer's thread, so the names of the window's other
  // packages may not be on disk yet.
  std::set<std::tstring> taken;
  for (const auto& flight : flights_) taken.insert(flight->temporary);
  for (int n = job.files_done;; ++n) {
    std::tstring name = folder_.TemporaryName(n);
    if (!taken.contains(name)) return name;
  }
}

void DownloadWindow::Transfer(Flight& flight) {
  Slot& slot = *flight.slot;
  Counters& counters = *flight.counters;
  try {
    PackageTransfer transfer(slot.client, server_, stop_,
                             [&counters](std::uint64_t size, std::uint64_t received) {
                               counters.size = size;
                               counters.received = received;
                             });
    const InstallJob& job = flight.job;
    flight.install = transfer.FetchFromCopies(flight.job, flight.temporary, [&] {
      return std::make_unique<StreamedInstall>(
          job.entry, job.target, *job.expected, [ready = flight.target_ready] { return ready; },
          slot.digests);
    });
    flight.copy = transfer.Copy();
    flight.resumed = transfer.Resumed();
    // The digests end here, on this thread, which alone hands the slot's digest thread its blocks.
    flight.checked = flight.install && flight.install->Verify();
    if (!flight.checked) flight.install.reset();
  } catch (...) {
    flight.failure = std::current_exception();
  }
  std::lock_guard<std::mutex> hold(lock_);
  flight.ended = true;
  slot.busy = false;
  ++ends_;
  ended_.notify_all();
}

std::unique_ptr<DownloadWindow::Flight> DownloadWindow::TakeOldest() {
  Flight& oldest = *flights_.front();
  std::unique_lock<std::mutex> hold(lock_);
  while (!ended_.wait_for(hold, kReportInterval, [&oldest] { return oldest.ended; })) {
    hold.unlock();
    ReportProgress();
    hold.lock();
  }
  hold.unlock();
  oldest.thread.join();
  std::unique_ptr<Flight> flight = std::move(flights_.front());
  flights_.pop_front();
  taken_bytes_ += flight->counters->received;
  return flight;
}

void DownloadWindow::Settle(Flight& flight) {
  if (flight.failure) {
    --files_done_;
    std::rethrow_exception(flight.failure);
  }
  if (flight.checked && flight.install->Complete(&folder_.Batch())) {
    folder_.Installed(flight.job);
    flight.install.reset();
    platform::RemoveFile(flight.temporary);
    return;
  }
  flight.install.reset();
  --files_done_;
  InstallFromCopies(flight);
  ++files_done_;
}

void DownloadWindow::InstallFromCopies(Flight& flight) {
  for (;;) {
    try {
      InstallFromPackage(files_, folder_, flight.job, flight.temporary);
      return;
    } catch (const Exception& failure) {
      // A package that does not install is the copy's fault unless the disk failed: nothing of
      // that copy is taken again, and another copy brings the package. One pieced together from
      // two copies names neither: it is fetched again, and no copy is left for it.
      const bool resumed = std::exchange(flight.resumed, false);
      if (!flight.copy || !(resumed ? SiteCopies::OfACopy(failure)
                                    : server_.copies->Blame(*flight.copy, failure))) {
        throw;
      }
    }
    Slot& slot = FreeSlot();
    try {
      PackageTransfer transfer(slot.client, server_, stop_, {});
      transfer.FetchFromCopies(flight.job, flight.temporary, nullptr);
      flight.copy = transfer.Copy();
      flight.resumed = transfer.Resumed();
    } catch (...) {
      Release(slot);
      throw;
    }
    Release(slot);
  }
}

void DownloadWindow::Release(Slot& slot) {
  std::lock_guard<std::mutex> hold(lock_);
  slot.busy = false;
}

void DownloadWindow::AbortAll() {
  for (const auto& flight : flights_) flight->slot->client.SetAbort(true);
  for (const auto& flight : flights_) {
    if (flight->thread.joinable()) flight->thread.join();
  }
  for (const auto& slot : slots_) slot->client.SetAbort(false);
}

std::pair<std::uint64_t, std::uint64_t> DownloadWindow::RunBytes() const {
  std::uint64_t size = taken_bytes_, received = taken_bytes_;
  for (const auto& flight : flights_) {
    size += std::max<std::uint64_t>(flight->counters->size, flight->counters->received);
    received += flight->counters->received;
  }
  return {size, received};
}

void DownloadWindow::ReportProgress() {
  std::uint64_t size = 0, received = 0;
  for (const auto& counters : shown_) {
    size += counters->size;
    received += counters->received;
  }
  progress_(size, received);
}
