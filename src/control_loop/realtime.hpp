#pragma once
// Real-time scheduling of the loop thread: SCHED_FIFO at a priority, and
// optionally one CPU, applied to the thread from outside through its handle.

#include <pthread.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

namespace velmora::control_loop {

struct RealtimeError {
  enum class Kind : std::uint8_t {
    OutOfRange,  // a priority or CPU the system does not have
    Refused,     // the system said no: the message says what is missing and how to grant it
    Failed,      // anything else, the loop having ended included
  };
  Kind kind;
  std::string message;
};

inline constexpr const char* kLoopThreadName = "velmora-loop";

// Puts `thread` under SCHED_FIFO at `priority`, then, when `cpu` is given,
// pins it to that CPU. Both are checked before anything changes; if pinning
// fails after the policy changed, the policy is put back.
std::expected<void, RealtimeError> apply_realtime(pthread_t thread, int priority, std::optional<int> cpu);

// What the host allows a process of this user: whether it may use real-time
// priorities at all and up to which, and how much memory it may lock.
struct RealtimeAllowance {
  bool cap_sys_nice = false;
  std::uint64_t rtprio_limit = 0;  // RLIMIT_RTPRIO (soft)
  int fifo_min = 0;
  int fifo_max = 0;
};
RealtimeAllowance realtime_allowance();

}  // namespace velmora::control_loop
