#include "controller/outage_log.hpp"

#include "common/log.hpp"
#include "common/numfmt.hpp"

namespace velmora::controller {

void OutageLog::begin(TimePoint now, const std::string& what) {
  if (open()) return;
  since_ = now;
  failed_readings_ = 0;
  log::write(log::Level::Error, target_, subject_ + " " + what);
}

void OutageLog::end(TimePoint now) {
  if (!open()) return;
  const std::chrono::duration<double> lasted = now - *since_;
  since_.reset();
  if (!log::enabled(log::Level::Info, target_)) return;
  log::write(log::Level::Info, target_,
             subject_ + " back after " + numfmt::fixed(lasted.count(), 2) + " s; " +
                 std::to_string(failed_readings_) + (failed_readings_ == 1 ? " reading" : " readings") + " failed");
}

}  // namespace velmora::controller
