// How long the HTTP client waits on the network before it gives up, and how slow a reply may be.
// The limits live here and nowhere else.
//
// The environment variable VARNE_NET_TIMEOUT_MS, when it holds a positive decimal number of
// milliseconds, sets the three times to that value. It is read once, at the first request of the
// process, and works for the updater and the tools alike; tests use it to see a stalled server
// fail in a moment instead of a minute.
#pragma once

namespace net_limits {

// A connection (name resolution included) that is not made within this long fails.
inline constexpr int kConnectMilliseconds = 30 * 1000;
// A request fails when, while it sends or waits for the reply, this long passes without a byte
// going out or coming in.
inline constexpr int kIdleMilliseconds = 60 * 1000;
// A reply fails when fewer than kRateFloorBytesPerSecond arrive per second over any window this
// long: a server that drips a byte now and then never meets the idle limit, and would otherwise
// hold a run for days.
inline constexpr int kRateWindowMilliseconds = 60 * 1000;
inline constexpr int kRateFloorBytesPerSecond = 1024;
inline constexpr char kOverrideVariable[] = "VARNE_NET_TIMEOUT_MS";

struct Limits {
  int connect_milliseconds = kConnectMilliseconds;
  int idle_milliseconds = kIdleMilliseconds;
  int rate_window_milliseconds = kRateWindowMilliseconds;
};

// The limits in force for this process.
const Limits& Get();

}  // namespace net_limits
