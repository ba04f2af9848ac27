#include "update/site_copies.h"

#include <algorithm>
#include <limits>
#include <tuple>

namespace {

// How long a copy may take to connect, or to send a transfer's next bytes, while another copy can
// take the transfer over. Moving the transfer costs a connection to the other copy (two round
// trips, 0.3 s at 150 ms), so a copy is given half a second less than the 3 s a stall may cost the
// player in all.
constexpr int kPatienceMs = 2500;
// A copy that fails this many transfers is not asked again in the run.
constexpr int kFailuresToLeave = 3;
// A copy with attempts in flight that has sent nothing for this long is passed over while another
// is not.
constexpr auto kQuiet = std::chrono::seconds(1);
// Below this much, a transfer says little about a copy's rate: the round trips dominate it.
constexpr std::uint64_t kMeasuredBytes = 64 << 10;

}  // namespace

SiteCopies::SiteCopies(std::vector<std::tstring> list_urls) {
  for (std::tstring& url : list_urls) copies_.push_back({.list_url = std::move(url)});
}

net_limits::Limits SiteCopies::Patient() {
  net_limits::Limits patient = net_limits::Get();
  patient.connect_milliseconds = std::min(patient.connect_milliseconds, kPatienceMs);
  patient.idle_milliseconds = std::min(patient.idle_milliseconds, kPatienceMs);
  return patient;
}

std::optional<SiteCopies::Use> SiteCopies::Pick() {
  std::lock_guard<std::mutex> hold(lock_);
  const Clock::time_point now = Clock::now();
  const auto rank = [&](const Copy& copy) {
    return std::tuple(-copy.failures, !Quiet(copy, now), Share(copy), !RateOf(copy));
  };
  std::optional<std::size_t> best;
  for (std::size_t i = 0; i < copies_.size(); ++i) {
    if (Usable(copies_[i]) && (!best || rank(copies_[i]) > rank(copies_[*best]))) best = i;
  }
  if (!best) return std::nullopt;
  Copy& picked = copies_[*best];
  if (picked.in_use++ == 0) picked.heard = now;
  return Use{*best, picked.failures, now};
}

void SiteCopies::Heard(const Use& use) {
  std::lock_guard<std::mutex> hold(lock_);
  copies_[use.copy].heard = Clock::now();
}

void SiteCopies::Ended(const Use& use, std::uint64_t bytes) {
  std::lock_guard<std::mutex> hold(lock_);
  Copy& ended = copies_[use.copy];
  --ended.in_use;
  ended.bytes += bytes;
  if (bytes > 0) {
    ended.seconds += std::chrono::duration<double>(Clock::now() - use.started).count();
  }
}

bool SiteCopies::Blame(const Use& use, const Exception& failure) {
  if (!OfACopy(failure)) return false;
  std::lock_guard<std::mutex> hold(lock_);
  Copy& copy = copies_[use.copy];
  copy.why = failure.GetText();
  if (failure.Cause() != ErrorCause::kNetwork) {
    copy.dropped = true;
  } else if (copy.failures == use.failures_seen) {
    ++copy.failures;
  }
  return true;
}

std::tstring SiteCopies::Account() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::tstring account;
  for (const Copy& copy : copies_) {
    if (!copy.why.empty()) account += " / " + copy.list_url + " : " + copy.why;
  }
  return account;
}

bool SiteCopies::Usable(const Copy& copy) const {
  return !copy.dropped && copy.failures < kFailuresToLeave;
}

bool SiteCopies::Quiet(const Copy& copy, Clock::time_point now) const {
  return copy.in_use > 0 && now - copy.heard > kQuiet;
}

std::optional<double> SiteCopies::RateOf(const Copy& copy) {
  if (copy.bytes < kMeasuredBytes || copy.seconds <= 0) return std::nullopt;
  return copy.bytes / copy.seconds;
}

double SiteCopies::Share(const Copy& copy) const {
  // A copy not measured yet is given the best rate measured, so that it is tried early and then
  // shares the attempts as a copy of that rate would.
  std::optional<double> rate = RateOf(copy);
  for (const Copy& other : copies_) {
    const std::optional<double> measured = RateOf(other);
    if (!RateOf(copy) && measured && (!rate || *measured > *rate)) rate = measured;
  }
  return rate.value_or(std::numeric_limits<double>::max()) / (copy.in_use + 1);
}
