#pragma once
// The retry policy of the loop's serial reads: `attempts` tries in all,
// retrying only time-outs and interruptions, 20 ms apart on the loop's clock.

#include <chrono>
#include <cstdint>
#include <stdexcept>

#include "control_loop/loop_clock.hpp"

namespace velmora::control_loop {

inline constexpr std::chrono::milliseconds kRetryDelay{20};

void log_recovered(std::uint64_t retries);

template <class Op>
auto with_retry(std::uint64_t attempts, LoopClock& clock, Op&& op) -> decltype(op()) {
  // Rejected by the loop's constructor; reaching it here is a broken invariant.
  if (attempts == 0) throw std::logic_error("allowed_retries must be at least 1");
  for (std::uint64_t k = 0;; ++k) {
    auto result = op();
    if (result) {
      if (k >= 1) log_recovered(k);
      return result;
    }
    if (k + 1 >= attempts || !result.error().retryable) return result;
    clock.sleep_for(kRetryDelay);
  }
}

}  // namespace velmora::control_loop
