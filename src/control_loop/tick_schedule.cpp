#include "control_loop/tick_schedule.hpp"

#include <stdexcept>

namespace velmora::control_loop {

TickSchedule::TickSchedule(Clock::time_point start, std::chrono::nanoseconds period) : next_(start), period_(period) {
  if (period <= std::chrono::nanoseconds::zero()) throw std::invalid_argument("tick period must be positive");
}

}  // namespace velmora::control_loop
