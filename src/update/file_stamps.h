// The stamps of the install's files as the last checks left them: for each file digested whole,
// its size, times and identity at the moment it was opened, the moment itself, and the digest it
// had. With them a check counts a file as current without reading it, when the publisher allows
// that: the listed digest is the one stamped, the file's stamp is unchanged, and the stamp was
// taken well after the file was last written (the file system's clock may be too coarse to show a
// change made in the same instant as the stamp).
//
// The stamps live in one file beside the install's state, replaced in one step. It is read
// fail-safe: a file that is not there, is too large, is linked out of the install folder, or does
// not read exactly as written counts as no stamps at all, so every file is digested.
//
// Made and saved by the run's thread; Vouched and Record may be called from the digest workers at
// once, each list entry by one thread at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_stamp.h"
#include "site/file_list.h"

// The file in the install folder that holds the stamps.
extern const char kFileStampsName[];

// What the publisher's configuration and the player's command line ask of a check.
struct CheckPolicy {
  // Files may count as current by their stamps ("fast_check" in "dlgconfig.conf"); without it
  // every file is digested, and the stamps are neither read nor written.
  bool stamps_allowed = false;
  // Every this many days the check digests every file all the same ("full_check_days"); 0: never.
  int full_check_days = 0;
  // This run digests every file ("--verify").
  bool verify = false;
};

// The policy that the game's "dlgconfig.conf" gives, with the player's verify. A setting that
// cannot be read keeps its default.
CheckPolicy ConfiguredCheck(bool verify);

struct StampRecord {
  platform::FileStamp stamp;
  std::int64_t taken_ns = 0;  // the clock just before the stamp was taken
  std::string digest;         // lower-case hexadecimal

  bool operator==(const StampRecord&) const = default;
};

// Looks at the stamp of every listed file, on every core at once: in a check of an unchanged
// install nothing else takes time. Each entry's stamp (nothing when its file cannot be looked at)
// is told to `each` once, on any thread. A stop ends the look early, some entries untold.
void LookAtListed(
    const FileList& list, std::stop_token stop,
    const std::function<void(std::size_t, const std::optional<platform::FileStamp>&)>& each);

class FileStamps {
 public:
  // A stamp vouches for a file only when the file was last written at least this long before.
  static constexpr std::chrono::seconds kSettle{2};

  // Reads the stamps for the files of list (which must outlive this object) when the policy
  // allows them. now_s is the clock in seconds, for the schedule of full checks.
  FileStamps(const FileList& list, const CheckPolicy& policy, std::int64_t now_s);

  // Whether this run keeps stamps at all, and whether it reads none of them (a full check).
  bool Enabled() const { return enabled_; }
  bool FullCheck() const { return full_check_; }

  // True when entry `index`, whose file has the stamp `now`, may count as current with the digest
  // text `expected` without being read.
  bool Vouched(std::size_t index, const platform::FileStamp& now, std::string_view expected) const;
  // Entry `index` was digested whole: its file had `stamp` when it was opened, taken just after
  // the moment taken_ns.
  void Record(std::size_t index, const platform::FileStamp& stamp, std::int64_t taken_ns,
              const std::string& digest);
  // Replaces the stamp file with the stamps of this list when anything changed; a run that
  // completed a full check notes its time. False when the file could not be written.
  bool Save(bool completed);

 private:
  // A stamp as the stamp file holds it, its texts within the file's bytes.
  struct Loaded {
    std::string_view path;
    platform::FileStamp stamp;
    std::int64_t taken_ns = 0;
    std::string_view digest;
  };

  void Load(std::int64_t now_s, int full_check_days);
  bool Parse(std::string_view text);
  void SortUnlessListed();
  const Loaded* LoadedFor(std::size_t index) const;
  std::string Text() const;

  const FileList& list_;
  bool enabled_ = false;
  bool full_check_ = true;
  std::int64_t now_s_ = 0;
  std::int64_t last_full_s_ = 0;  // when the last full check completed
  std::string text_;              // the stamp file's bytes, which loaded_ points into
  std::vector<Loaded> loaded_;    // in the file's order, which is the list's when it was written
  // The indices of loaded_ in the order of their paths, when that order is not the list's.
  std::vector<std::uint32_t> by_path_;
  std::vector<std::unique_ptr<StampRecord>> records_;  // by list entry, of this run
  std::atomic<bool> changed_{false};
};
