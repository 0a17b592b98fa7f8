#pragma once
// The time the loop runs on. Everything in the loop whose behaviour depends on
// time reads this clock, sleeps on it or waits on it with a deadline: the tick
// schedule and its statistics, the command queue's wait, the retries, the
// start-up voltage wait and the controller the loop opens. Tests hand in a
// clock they move themselves. The controller makes do with a sleep and a clock
// function; the loop also waits for events with a deadline, and a deadline on
// a clock of the test's own only works when that clock does the waiting too.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace velmora::control_loop {

class LoopClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~LoopClock() = default;
  // Monotonic.
  virtual TimePoint now() = 0;
  virtual void sleep_for(std::chrono::nanoseconds duration) = 0;
  // Waits on `cv`, whose mutex `lock` holds, until ready() (checked under the
  // lock) or the deadline.
  virtual void wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, TimePoint deadline,
                          const std::function<bool()>& ready) = 0;
};

// std::chrono::steady_clock, the thread's own sleep and the condition
// variable's own timed wait.
std::shared_ptr<LoopClock> steady_loop_clock();

}  // namespace velmora::control_loop
