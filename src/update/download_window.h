// Packages downloaded side by side. Far from its server a run would otherwise spend most of its
// time waiting for one reply after another; here up to a set number of transfers are in flight,
// each on a client of its own (the clients share their kept connections), each installing its file
// while the package arrives and digesting it on its own thread.
//
// The run still decides, installs and reports each file in list order: it hands the files over in
// that order and takes their verdicts in that order. A checked file joins the folder's batch; any
// other is installed from its downloaded package the usual way; the first failure in list order is
// the one the run reports. A transfer slot keeps its client and its digest thread for the whole
// run and is taken again as soon as its transfer has ended; a file that then waits for its verdict
// holds only its checked new file. So memory stays within the slots' buffers whatever the list.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <utility>
#include <vector>

#include "storage/varne_file_manager.h"
#include "update/install_folder.h"
#include "update/install_way.h"
#include "update/package_transfer.h"

class HttpClient;

class DownloadWindow {
 public:
  // Prepares a new slot's client (proxy, shared connections, rate cap) before its first transfer.
  using ClientSetup = std::function<void(HttpClient&)>;

  // transfers: how many may be in flight (1 to 32). server: what the run's transfers know of the
  // packages' server. files_done is the run's count: a file counts when it is handed over, and one
  // that fails its verdict and is not installed otherwise is taken back. progress reports the
  // transfers in flight on the run's thread while it waits for a verdict.
  DownloadWindow(int transfers, ClientSetup setup, PackageServer& server, VarneFileManager& files,
                 InstallFolder& folder, std::stop_token stop, int& files_done,
                 TransferProgress progress);
  // Aborts the transfers still in flight and joins them; their files stay as they were.
  ~DownloadWindow();
  DownloadWindow(const DownloadWindow&) = delete;
  DownloadWindow& operator=(const DownloadWindow&) = delete;

  // Starts the download of the job's file (which has an expected content), first taking the
  // verdicts of the oldest files whose transfers have ended, and waiting while every slot
  // transfers or the window is full. Throws the first failure in list order.
  void Add(const InstallJob& job);
  // Takes every verdict still to come, in list order.
  void Drain();
  // The run moves on to the next file: the progress shown from now on is that of the transfers
  // now in flight and of those started after.
  void NextTask();
  // On the way out of a failed run: the transfers in flight are aborted, and of the files in the
  // window only those checked already are kept; nothing more is installed.
  void KeepChecked();
  // The bytes of every transfer of the run so far: their sizes (once told) and bytes received.
  std::pair<std::uint64_t, std::uint64_t> RunBytes() const;

 private:
  struct Counters;
  struct Slot;
  struct Flight;

  void MakeRoom();
  // Under the lock: the transfers ended so far, whether one flight's has, how many still run.
  std::size_t Ends();
  bool Ended(const Flight& flight);
  int Transferring();
  // Until a transfer ends after `seen` ends, reporting the progress every interval meanwhile.
  void WaitForAnEnd(std::size_t seen);
  Slot& FreeSlot();
  std::tstring TemporaryFor(const InstallJob& job) const;
  void Transfer(Flight& flight);
  // Waits for the oldest flight's end, reporting the progress meanwhile, and removes it.
  std::unique_ptr<Flight> TakeOldest();
  void Settle(Flight& flight);
  // Installs the flight's downloaded package; one that fails to install for what its copy of the
  // site sent is fetched again from another copy.
  void InstallFromCopies(Flight& flight);
  void Release(Slot& slot);
  void AbortAll();
  void ReportProgress();

  const int transfers_;
  ClientSetup setup_;
  PackageServer& server_;
  VarneFileManager& files_;
  InstallFolder& folder_;
  std::stop_token stop_;
  int& files_done_;
  TransferProgress progress_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::deque<std::unique_ptr<Flight>> flights_;   // in list order
  std::vector<std::shared_ptr<Counters>> shown_;  // the transfers the current progress counts
  std::mutex lock_;
  std::condition_variable ended_;  // a flight's transfer has ended
  std::size_t ends_ = 0;
  // What the transfers taken out of the window brought; the run's thread alone.
  std::uint64_t taken_bytes_ = 0;
};
