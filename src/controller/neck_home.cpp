// Neck homing: ramp each joint to the multiple of 2π nearest to where its
// multi-turn counter says it is, so the head never travels more than half a
// turn, and wait until every joint reports itself within tolerance. That
// multiple becomes the joint's turn: homing reports about 0 at the end. The
// ramp itself works on the motors' counters.

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/numfmt.hpp"
#include "common/text.hpp"
#include "controller/homing_math.hpp"
#include "controller/joint_names.hpp"
#include "controller/lift.hpp"
#include "controller/neck_controller.hpp"

namespace velmora::controller {
namespace {

constexpr double kCyclePeriodSeconds = 0.01;
constexpr std::chrono::milliseconds kCyclePeriod{10};

std::string flags_text(const std::array<bool, 3>& flags) {
  return text::bracketed(flags, [](bool f) { return f ? "true" : "false"; });
}

}  // namespace

Result<std::array<double, 3>> NeckController::neck_home(double speed, double tolerance, std::optional<float> kp,
                                                        std::optional<float> kd, const StopRequested& stop) {
  if (!(speed > 0.0)) {
    return std::unexpected(ControllerError::text("neck_home: speed must be positive, got " + numfmt::shortest(speed)));
  }
  if (!(tolerance > 0.0)) {
    return std::unexpected(
        ControllerError::text("neck_home: tolerance must be positive, got " + numfmt::shortest(tolerance)));
  }
  // A NaN gain would reach the motors as 0 (a limp joint) for the whole ramp.
  if (kp && std::isnan(*kp)) return std::unexpected(ControllerError::text("neck_home: kp is not a number"));
  if (kd && std::isnan(*kd)) return std::unexpected(ControllerError::text("neck_home: kd is not a number"));

  for (auto& command : neck_commands_) {
    if (kp) command.kp = *kp;
    if (kd) command.kd = *kd;
  }

  auto start = read_neck_counters();
  if (!start) return std::unexpected(start.error());
  const std::array<double, 3> present = *start;

  std::array<double, 3> goals{};
  for (std::size_t i = 0; i < 3; ++i) {
    goals[i] = nearest_turn_goal(present[i]);
    neck_turns_.learn(i, present[i]);
  }
  const auto relative = [this](std::array<double, 3> counters) {
    for (std::size_t i = 0; i < counters.size(); ++i) counters[i] = neck_turns_.relative(i, counters[i]);
    return counters;
  };

  if (!neck_torque_enabled_) {
    if (auto enabled = enable_neck(true); !enabled) return std::unexpected(enabled.error());
  }

  const double step = speed * kCyclePeriodSeconds;
  double max_travel = 0.0;
  for (std::size_t i = 0; i < 3; ++i) max_travel = std::max(max_travel, std::fabs(present[i] - goals[i]));
  const std::uint32_t budget = neck_home_cycle_budget(max_travel, step);

  std::array<double, 3> setpoints = present;
  std::array<double, 3> observed = present;
  std::array<bool, 3> settled{false, false, false};
  constexpr double kEps = std::numeric_limits<double>::epsilon();

  for (std::uint32_t cycle = 0; cycle < budget; ++cycle) {
    for (std::size_t i = 0; i < 3; ++i) {
      if (settled[i]) continue;
      const double diff = setpoints[i] - goals[i];
      if (diff > step) {
        setpoints[i] -= step;
      } else if (diff < -step) {
        setpoints[i] += step;
      } else {
        setpoints[i] = goals[i];
      }
    }
    for (std::size_t i = 0; i < 3; ++i) {
      auto reported = send_neck_counter(i, setpoints[i]);
      if (!reported) {
        return std::unexpected(
            lifted(std::move(reported.error()), "neck_home(" + std::string(NECK_JOINT_NAMES[i]) + "): "));
      }
      observed[i] = *reported;
    }

    for (std::size_t i = 0; i < 3; ++i) {
      if (settled[i]) continue;
      settled[i] = std::fabs(setpoints[i] - goals[i]) < kEps && std::fabs(observed[i] - goals[i]) < tolerance;
    }
    if (std::all_of(settled.begin(), settled.end(), [](bool s) { return s; })) return relative(observed);
    sleep_(kCyclePeriod);
    // The neck stays enabled, holding the setpoints just sent.
    if (stop && stop()) return std::unexpected(ControllerError::stopped());
  }

  return std::unexpected(ControllerError::text("neck_home: timed out before settling. observed=" +
                                               text::bracketed(relative(observed), numfmt::debug) +
                                               ", goals=" + text::bracketed(relative(goals), numfmt::debug) +
                                               ", settled=" + flags_text(settled)));
}

}  // namespace velmora::controller
