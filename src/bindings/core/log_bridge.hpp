#pragma once
// The bridge that carries the process's log records (common/log.hpp) into
// Python `logging`, and the interpreter-exit hooks that shut it down safely.
//
// Records at Error..Debug go to the Python logger named after the target
// ("velmora_motor_controller::control_loop" -> "velmora_motor_controller.control_loop")
// with the levels 40, 30, 20, 10; Trace records are dropped. Each logger's
// isEnabledFor answer is cached per level at first use and never refreshed, so
// a record at a level known to be disabled is dropped without taking the
// interpreter lock. Any thread may log; a record from a thread without the
// interpreter lock takes it (PyGILState_Ensure) to forward the record.
//
// At interpreter exit (the `atexit` module) the exit hooks run first, holding
// the interpreter lock; then the bridge stops touching Python for good, so
// native threads that log during finalisation are neither killed nor blocked.

#include <cstdint>
#include <functional>

namespace velmora::py {

// Installs the bridge as the process's log sink and sets the maximum level to
// Debug. Needs the interpreter lock. Faults (throws) when `logging` cannot be
// imported ("Failed to initialize python logging") or when a sink is installed
// already.
void install_log_bridge();

// Registers a hook run at interpreter exit, from the bridge's atexit callback,
// holding the interpreter lock, before log forwarding stops. A hook that waits
// for a native thread must release the lock meanwhile (gil.hpp ReleaseGil), so
// the thread can still forward its last records. Hooks run in the order added;
// faults escaping a hook are reported as unraisable and the next hook runs.
// Hooks added after exit processing began are not run.
void add_exit_hook(std::function<void()> hook);

// Counters for tests and diagnostics.
struct LogBridgeCounters {
  std::uint64_t forwarded;        // records handed to a logger's handle()
  std::uint64_t dropped_cached;   // dropped on a cached "disabled" answer, without the lock
  std::uint64_t lock_taken;       // times a record took the interpreter lock
  std::uint64_t get_logger_calls; // logging.getLogger() calls
  std::uint64_t level_queries;    // isEnabledFor() calls
  std::uint64_t dropped_exiting;  // dropped because the interpreter is exiting
};
LogBridgeCounters log_bridge_counters() noexcept;

// True once interpreter exit processing has stopped log forwarding.
bool log_bridge_stopped() noexcept;

}  // namespace velmora::py
