#include "control_loop/retry.hpp"

#include <string>

#include "common/log.hpp"

namespace velmora::control_loop {

void log_recovered(std::uint64_t retries) {
  if (!log::enabled(log::Level::Info, log::kControlLoopTarget)) return;
  log::write(log::Level::Info, log::kControlLoopTarget,
             "Serial I/O recovered after " + std::to_string(retries) + " retries");
}

}  // namespace velmora::control_loop
