#pragma once
// When the loop's position reads are due: at start + k * period, k = 0, 1, ...
// A loop that falls behind gets every missed tick, one per take(), back to
// back, until it has caught up; the schedule itself never shifts.

#include <chrono>

namespace velmora::control_loop {

class TickSchedule {
 public:
  using Clock = std::chrono::steady_clock;

  // The first tick is due at `start`. period must be positive.
  TickSchedule(Clock::time_point start, std::chrono::nanoseconds period);

  Clock::time_point next_due() const { return next_; }
  bool is_due(Clock::time_point now) const { return now >= next_; }
  // Consumes the tick due at next_due().
  void take() { next_ += period_; }

 private:
  Clock::time_point next_;
  std::chrono::nanoseconds period_;
};

}  // namespace velmora::control_loop
