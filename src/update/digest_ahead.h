// Digests the listed files of an update check ahead of the run, on worker threads, while the run
// takes the results one by one in list order. Files differ, so they can be digested on every core
// at once; one file is still digested by one thread from start to end.
//
// At most a fixed number of files per worker are in flight (digested and not yet taken), so memory
// does not grow with the list. A digest is only used when the file's stamp at its turn equals the
// stamp taken before it was read; a file that changed in between is digested again at its turn.
//
// Files whose stamps vouched for them before (Options::vouched) are neither read nor handed
// between threads.
//
// The size field is the server's to mean, so every file is read, unless the caller knows what
// vouches for the listed sizes: then a file whose size is another is not read
// (Options::unread_from).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_stamp.h"
#include "site/file_list.h"

struct DigestAheadOptions {
  // Worker threads; 0 means one per core.
  unsigned workers = 0;
  // A file changed less than this before its digest is digested again at its turn: the file
  // system's clock may be too coarse for its stamp to show a change made just after.
  std::chrono::nanoseconds settle = std::chrono::seconds(2);
  // Told the entry index of every digest made, on the thread that made it.
  std::function<void(std::size_t)> on_digest;
  // Files are digested with SHA-256 instead of MD5, for a release that vouches for SHA-256.
  bool sha256 = false;
  // A file listed with a size field of at least this many bytes whose size is another is not
  // read: it cannot hold the listed bytes when the field is its size, which the caller then
  // decides. 0: every such file (a signed release vouches for each size).
  std::uint64_t unread_from = UINT64_MAX;
  // By entry, when not empty: its file's stamp vouched that it holds what it must, so it is not
  // read, and its digest is expected(index).
  std::vector<char> vouched = {};
  std::function<std::string(std::size_t)> expected = {};
  // Told each digest made of a whole file, with the file's stamp when it was opened and the clock
  // just before. On any thread, for one entry at a time.
  std::function<void(std::size_t, const platform::FileStamp&, std::int64_t taken_ns,
                     const std::string& digest)>
      stamped = {};
};

class DigestAhead {
 public:
  using Options = DigestAheadOptions;

  // Starts digesting the files of list, which must stay as it is while this object lives. Once
  // stop is requested, digests not yet finished are abandoned (each worker looks once per block)
  // and Take answers at once.
  DigestAhead(const FileList& list, std::stop_token stop, Options options = {});
  // Abandons the digests in progress and joins the workers.
  ~DigestAhead();
  DigestAhead(const DigestAhead&) = delete;
  DigestAhead& operator=(const DigestAhead&) = delete;

  // Entry i's MD5 text (with Options::sha256, its SHA-256 in lower-case hexadecimal), waiting
  // until it is ready. Empty when the file is missing, is not a regular file, cannot be read whole,
  // or the check was stopped; nothing when it was left unread for its size (Options::unread_from).
  // One thread takes the entries, each once, in list order.
  using Result = std::optional<std::string>;
  Result Take(std::size_t i);
  // Entry i's stamp vouched for it: Take gives Options::expected(i) at once.
  bool Vouched(std::size_t i) const { return !options_.vouched.empty() && options_.vouched[i]; }
  // Entry i's digest when a worker has made it (or left it unread) and it has not been taken yet,
  // without waiting. Take still decides: the file may change before it is taken.
  std::optional<Result> Peek(std::size_t i);
  // Entry i is not wanted: a worker reading it stops at its next block, and it counts as taken.
  // Takes its place in the order as Take does.
  void Discard(std::size_t i);
  // Entry i's digest made now on this thread, the file read whatever its size: for an entry that
  // Take left unread.
  std::string ReadNow(std::size_t i);
  // How many of the entries taken so far had their file read (each counted once).
  std::size_t FilesRead() const { return files_read_; }

 private:
  struct Digest {
    std::optional<std::string> text;
    std::optional<platform::FileStamp> stamp;
    bool firm = false;  // the stamp would show any change made after it was taken
    bool read = false;  // the file was opened and read
  };
  struct Slot {
    std::size_t index = kNone;
    Digest digest;
  };
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  void Work();
  // Waits for entry i's slot and empties it into digest; false when the check was abandoned.
  bool TakeSlot(std::size_t i, Digest& digest);
  bool Claim(std::size_t* index);
  Digest DigestFile(std::size_t index, std::vector<std::uint8_t>& block) const;
  // by_size: a file whose size rules it out (Options::unread_from) is not read.
  Digest ReadDigest(std::size_t index, std::vector<std::uint8_t>& block, bool by_size) const;
  bool Abandoned() const { return ending_ || stop_.stop_requested(); }
  template <typename Ready>
  bool WaitUntil(std::unique_lock<std::mutex>& hold, Ready ready);

  const FileList& list_;
  const Options options_;
  // The caller's stop is polled rather than hooked with a callback: a callback must be waited
  // for when it is removed, and MinGW's library can lose that wake-up and hang for ever.
  const std::stop_token stop_;
  std::atomic<bool> ending_{false};  // set by the destructor
  std::atomic<std::size_t> discarded_{kNone};
  std::atomic<std::size_t> files_read_{0};

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Slot> slots_;  // entry i's digest waits in slot i % size
  std::size_t next_ = 0;     // the next entry a worker claims
  std::size_t taken_ = 0;    // entries taken so far
  std::vector<std::thread> workers_;
};
