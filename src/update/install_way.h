// The ways a run puts a listed file that differs in place, behind one interface: the run decides
// which way takes a file, and the way does the rest. A way is used by the run's thread alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>

#include "base/exception.h"
#include "base/tstring.h"
#include "site/file_list.h"
#include "storage/i_file_manager.h"

// A listed file whose installed copy differs, as the run hands it to a way.
struct InstallJob {
  FileEntry entry;        // a copy: the list hands out its entries by value
  std::size_t index = 0;  // its list line
  std::tstring target;    // where it goes: the updater's own file waits under the swap name
  // What the file must be; none when the listed digest is no digest text, which no file matches:
  // the package's own record then says what its entry must be.
  std::optional<ExpectedContent> expected;
  // What the publisher signed for the file's bytes, when the release is signed.
  std::optional<platform::Sha256Digest> sha256 = {};
  std::tstring package_url;  // the file's one-entry package
  // The files done before it, which number its temporary package. They count a file whose verdict
  // is still to come, so that its package, kept until then, keeps a name of its own.
  int files_done = 0;
  // The block path made the file's part or checked one a cut run left: once the file is in place,
  // the part goes. Any other file of that name is the game's.
  bool drop_part = false;
};

// Whether an installed file differs from the listed one, asked while its digest may still be
// running: a large file's way can start on the file before its verdict comes. The run's thread
// alone.
class Verdict {
 public:
  virtual ~Verdict() = default;
  // What is known so far: true when the file differs, false when it is current, none while its
  // digest runs.
  virtual std::optional<bool> Known() const = 0;
  // Waits for the digest: true when the file differs.
  virtual bool Differs() = 0;
  // The way found that the file differs: its digest is no longer needed.
  virtual void FoundDifferent() = 0;
};

class InstallWay {
 public:
  virtual ~InstallWay() = default;
  // Puts the job's file in place, or on its way there when its last check comes later; throws the
  // failure that ends the run.
  virtual void Install(const InstallJob& job) = 0;
};

// A transfer's size and the bytes it has brought so far, as the run reports them.
using TransferProgress = std::function<void(std::uint64_t size, std::uint64_t received)>;

// A stop seen between files, transfers or blocks ends the run.
inline void ThrowIfStopped(const std::stop_token& stop) {
  if (stop.stop_requested()) throw DownloadManagerException("Task Aborted.", false);
}
