// The copies of the site a run may fetch from: the list URL it read the release from and the
// other copies the configuration names, each a full copy of the site under its own list URL.
// Transfers ask it which copy to use, spread over the copies that answer and weighted by the rate
// each has shown; a copy that fails is tried again only after the others, one that fails three
// times or sends bytes that fail a check is left for the rest of the run. Shared by the run's
// transfers on every thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "base/exception.h"
#include "base/tstring.h"
#include "net/time_limits.h"

class SiteCopies {
 public:
  // list_urls: the copy the release was read from first, then the others in the configuration's
  // order.
  explicit SiteCopies(std::vector<std::tstring> list_urls);

  // Whether a transfer has another copy to turn to: then a server that connects or sends nothing
  // for a few seconds is left rather than waited for.
  bool Several() const { return copies_.size() > 1; }
  // The limits a request keeps to while there is another copy to turn to.
  static net_limits::Limits Patient();

  // A copy picked for an attempt, in use until the attempt has Ended.
  struct Use {
    std::size_t copy = 0;
    int failures_seen = 0;  // the copy's failures when it was picked
    std::chrono::steady_clock::time_point started;
  };
  // The copy an attempt is to use: one that failed least, then one that is not quiet (nothing
  // heard for a second while attempts are in flight on it: it may be failing them all), then the
  // one whose rate, shared with the attempts in flight on it, is largest (a copy not measured yet
  // counts at the best rate measured, and wins a tie), then the first in order. None when every
  // copy is left.
  std::optional<Use> Pick();
  const std::tstring& ListUrl(std::size_t copy) const { return copies_[copy].list_url; }
  // Bytes came for the attempt.
  void Heard(const Use& use);
  // The attempt has ended, having brought `bytes`.
  void Ended(const Use& use, std::uint64_t bytes);
  // Counts the attempt's failure against its copy: a failure of the network as one of its
  // failures (the attempts that began before the copy's last failure fail with it, and count
  // with it), any other failure of what it served (a refusal, a missing file, bytes that fail a
  // check) as a reason to leave it. False, counting nothing, when the failure is the run's own (a
  // stop, the disk): no other copy would do better.
  bool Blame(const Use& use, const Exception& failure);
  // The failure is of a copy, of the network to it or of what it served, rather than the run's
  // own: another copy might do better.
  static bool OfACopy(const Exception& failure) {
    return failure.IsError() && failure.Cause() != ErrorCause::kDisk;
  }
  // What each copy did that was not asked of it, for the message of a run that no copy could
  // serve: " / <list URL> : <why>" per copy that failed.
  std::tstring Account() const;

 private:
  struct Copy {
    std::tstring list_url;
    int failures = 0;
    bool dropped = false;
    int in_use = 0;
    std::uint64_t bytes = 0;
    double seconds = 0;
    std::tstring why = {};  // the last failure
    // When bytes last came for an attempt on it, or it was last picked with none in flight.
    std::chrono::steady_clock::time_point heard = {};
  };
  using Clock = std::chrono::steady_clock;
  bool Usable(const Copy& copy) const;
  bool Quiet(const Copy& copy, Clock::time_point now) const;
  // The copy's rate once enough bytes measure it.
  static std::optional<double> RateOf(const Copy& copy);
  // How much a new transfer on the copy is likely to get: its rate shared with those in flight.
  double Share(const Copy& copy) const;

  mutable std::mutex lock_;
  std::vector<Copy> copies_;
};
