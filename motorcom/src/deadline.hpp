#pragma once
// Deadlines on the monotonic clock for bounded waits.

#include <chrono>

namespace motorcom::detail {

// from + timeout, saturating: a huge time-out means "very late", never a
// wrapped-around deadline in the past.
inline std::chrono::steady_clock::time_point deadline_after(std::chrono::steady_clock::time_point from,
                                                            std::chrono::nanoseconds timeout) {
  const auto room = std::chrono::steady_clock::time_point::max() - from;
  return timeout >= room ? std::chrono::steady_clock::time_point::max() : from + timeout;
}

inline std::chrono::steady_clock::time_point deadline_after(std::chrono::nanoseconds timeout) {
  return deadline_after(std::chrono::steady_clock::now(), timeout);
}

// Time left until deadline; below one microsecond (the socket time-out's
// resolution, where zero would mean "wait for ever") it counts as none.
inline bool expired(std::chrono::nanoseconds left) { return left < std::chrono::microseconds(1); }

}  // namespace motorcom::detail
