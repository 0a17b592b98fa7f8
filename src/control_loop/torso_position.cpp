#include "control_loop/torso_position.hpp"

#include <chrono>
#include <span>

#include "common/numfmt.hpp"
#include "common/text.hpp"

namespace velmora::control_loop {
namespace {

std::string debug_list(std::span<const double> values) { return text::bracketed(values, numfmt::debug); }

}  // namespace

double wall_clock_timestamp() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  if (since_epoch.count() < 0) return 0.0;
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - secs);
  return static_cast<double>(secs.count()) + static_cast<double>(nanos.count()) / 1e9;
}

VelmoraTorsoPosition VelmoraTorsoPosition::from_readings(const std::array<double, 7>& servos,
                                                         const std::array<double, 3>& neck) {
  VelmoraTorsoPosition p;
  p.left_arm = {servos[0], servos[1]};
  p.right_arm = {servos[2], servos[3]};
  p.nose = {servos[4], servos[5], servos[6]};
  p.neck = neck;
  p.timestamp = wall_clock_timestamp();
  return p;
}

std::array<double, 7> VelmoraTorsoPosition::servo_goals() const {
  return {left_arm[0], left_arm[1], right_arm[0], right_arm[1], nose[0], nose[1], nose[2]};
}

std::string VelmoraTorsoPosition::repr() const {
  return "VelmoraTorsoPosition(left_arm=" + debug_list(left_arm) + ", right_arm=" + debug_list(right_arm) +
         ", nose=" + debug_list(nose) + ", neck=" + debug_list(neck) + ", timestamp=" + numfmt::fixed(timestamp, 3) +
         ")";
}

}  // namespace velmora::control_loop
