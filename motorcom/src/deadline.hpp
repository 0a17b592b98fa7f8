#pragma once
// Deadlines for bounded waits.

#include <chrono>

namespace motorcom::detail {

// from + timeout, saturating: a huge time-out means "very late", never a
// wrapped-around deadline in the past. On the monotonic clock for waits, and
// on the wall clock for the kernel's receive timestamps.
template <class TimePoint>
TimePoint deadline_after(TimePoint from, std::chrono::nanoseconds timeout) {
  const auto room = TimePoint::max() - from;
  if (timeout >= room) return TimePoint::max();
  return from + std::chrono::duration_cast<typename TimePoint::duration>(timeout);
}

// Time left until deadline; below one microsecond (the socket time-out's
// resolution, where zero would mean "wait for ever") it counts as none.
inline bool expired(std::chrono::nanoseconds left) { return left < std::chrono::microseconds(1); }

}  // namespace motorcom::detail
