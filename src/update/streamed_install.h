// Installs a file while its package downloads: the package's bytes are read as they arrive, and
// the entry's data is unscrambled, written beside the file and digested on a second core, so that
// the file is checked and written when its last byte is in. Nothing of it is ever read back.
//
// It only speeds up what the whole download's install does: it takes a package only when it is
// exactly the one-entry package of the listed file (its record holding the listed size and digest
// and the listed name), and only when the file's place is ready to write. Anything else (another
// shape of package, a target that cannot be written, bytes that do not match) declines it quietly,
// and the downloaded package then goes the usual way, which reports what is wrong as it always
// did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "base/tstring.h"
#include "platform/file.h"
#include "site/file_list.h"
#include "storage/block_pipeline.h"
#include "storage/i_file_manager.h"

// The second core's share of the files installed one after another: their digests, on one thread
// for a whole run rather than one per file. Blocks of the next file may follow those of the one
// before, which is still being digested: each block is digested for the file that handed it over.
class InstallDigests {
 public:
  InstallDigests();

 private:
  friend class StreamedInstall;
  using Digest = std::function<void(const std::uint8_t*, std::size_t)>;
  // Hands over the block from the stage's last Next, to be digested by digest.
  void Submit(const Digest* digest, std::size_t size);

  std::mutex lock_;
  std::deque<const Digest*> owners_;  // the digest of each block handed over, in order
  SideStage stage_;
};

class StreamedInstall {
 public:
  // entry is the listed file; prepare readies the target's folders when the data begins, false
  // when the file cannot be written there. One StreamedInstall at a time uses digests.
  StreamedInstall(const FileEntry& entry, const std::tstring& target,
                  const ExpectedContent& expected, std::function<bool()> prepare,
                  InstallDigests& digests);
  ~StreamedInstall();  // whatever was written and not committed goes
  StreamedInstall(const StreamedInstall&) = delete;
  StreamedInstall& operator=(const StreamedInstall&) = delete;

  // The package's next bytes, in order.
  void Feed(const std::uint8_t* bytes, std::size_t size);
  // After the download's last byte: waits for the file's digests and tells whether the file is the
  // expected one. The thread that fed it asks, as it alone hands the digests their blocks.
  bool Verify();
  // After the download's last byte: true when the file is checked and stands in place, or has
  // joined batch (when given) to be put in place by its Commit. Waits for the file's digests
  // unless Verify has, which may be asked for after the next file's transfer has begun.
  bool Complete(platform::ReplacementBatch* batch = nullptr);

 private:
  class Stream;
  std::unique_ptr<Stream> stream_;
};
