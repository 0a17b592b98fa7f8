// The three neck joints: Damiao motors in MIT impedance mode on the CAN bus.

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/log.hpp"
#include "common/numfmt.hpp"
#include "controller/goal_checks.hpp"
#include "controller/joint_names.hpp"
#include "controller/lift.hpp"
#include "controller/narrow.hpp"
#include "controller/neck_controller.hpp"

namespace velmora::controller {
namespace {

using motorcom::damiao::Damiao;
using motorcom::damiao::kMitMode;
using motorcom::damiao::MitCommand;
using motorcom::damiao::MitLimits;

constexpr std::chrono::milliseconds kNeckReplyTimeout{20};

Damiao neck_motor(std::uint16_t can_id, MitLimits limits) {
  return Damiao{kNeckReplyTimeout, limits, can_id, can_id};
}

std::array<Damiao, 3> make_neck_motors() {
  return {neck_motor(NECK_CAN_IDS[0], {12.5F, 30.0F, 500.0F, 5.0F, 10.0F}),
          neck_motor(NECK_CAN_IDS[1], {12.5F, 10.0F, 500.0F, 5.0F, 28.0F}),
          neck_motor(NECK_CAN_IDS[2], {12.5F, 10.0F, 500.0F, 5.0F, 28.0F})};
}

std::array<MitCommand, 3> default_neck_commands() {
  return {MitCommand{0.0F, 0.0F, 30.0F, 1.0F, 0.0F}, MitCommand{0.0F, 0.0F, 60.0F, 2.0F, 0.0F},
          MitCommand{0.0F, 0.0F, 60.0F, 2.0F, 0.0F}};
}

std::string joint_name(std::size_t index) { return std::string(NECK_JOINT_NAMES[index]); }

ControllerError position_unknown(float p_max) {
  auto unknown = ControllerError::text("position unknown: its motor reports the end of its position range (" +
                                       numfmt::shortest(static_cast<double>(p_max)) +
                                       " rad either way), so the joint is about two turns or more from its zero; "
                                       "power-cycle the motor, or set its zero with the vendor's tool");
  unknown.bus = ControllerError::Bus::Neck;
  return unknown;
}

ControllerError not_a_number(std::string_view method, std::size_t index) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  return ControllerError::text(
      *goal_not_a_number(method, std::span(NECK_JOINT_NAMES).subspan(index, 1), std::span(&nan, 1)));
}

ControllerError index_out_of_range(std::size_t index) {
  return ControllerError::text("neck index out of range: " + std::to_string(index));
}

}  // namespace

NeckController::NeckController(std::unique_ptr<motorcom::CanTransport> can, std::string name, CanLink::Open reopen,
                               Sleep sleep, Clock clock)
    : neck_motors_(make_neck_motors()),
      can_transport_(std::make_unique<CanLink>(std::move(name), std::move(can), std::move(reopen), clock, sleep,
                                               kNeckReplyTimeout)),
      neck_commands_(default_neck_commands()),
      sleep_(std::move(sleep)),
      clock_(std::move(clock)) {}

std::vector<std::string> NeckController::check_missing_neck_motors() {
  prepare_neck();
  std::vector<std::string> missing;
  auto reading = start_neck_reading();
  for (std::size_t i = 0; i < neck_motors_.size(); ++i) {
    auto feedback = neck_motors_[i].feedback_reply(reading.pending, reading.requests[i]);
    if (feedback) {
      // It answered: present, even where its position is not known.
      (void)take_neck_report(i, feedback->position);
    } else {
      missing.emplace_back(NECK_JOINT_NAMES[i]);
    }
  }
  return missing;
}

void NeckController::prepare_neck() {
  if (!can_transport_->reconnect_if_due()) return;
  neck_turns_ = {};
  neck_out_of_range_ = {};
}

ControllerError NeckController::neck_failure(std::string_view context, const motorcom::damiao::Error& e) const {
  if (!can_transport_->connected()) return lifted(can_transport_->disconnection(), context);
  return lifted(e, context);
}

double NeckController::limited_neck_goal(std::size_t index, double position) {
  // std::max(lower, NaN) would quietly answer `lower`: keep NaN visible so the
  // command that carries it is refused instead.
  if (index >= NECK_POSITION_LIMITS.size() || std::isnan(position)) return position;
  const auto [lower, upper] = NECK_POSITION_LIMITS[index];
  return std::min(std::max(lower, position), upper);
}

double NeckController::clamp_neck_position(std::size_t index, double position) {
  const double clamped = limited_neck_goal(index, position);
  if (index >= NECK_POSITION_LIMITS.size()) return clamped;
  const auto [lower, upper] = NECK_POSITION_LIMITS[index];
  if (std::fabs(clamped - position) > std::numeric_limits<double>::epsilon() &&
      log::enabled(log::Level::Warn, log::kControllerTarget)) {
    log::write(log::Level::Warn, log::kControllerTarget,
               joint_name(index) + " requested position " + numfmt::fixed(position, 4) + " rad out of safe range [" +
                   numfmt::fixed(lower, 4) + ", " + numfmt::fixed(upper, 4) + "]; clamped to " +
                   numfmt::fixed(clamped, 4));
  }
  return clamped;
}

Result<void> NeckController::set_neck_gains(std::size_t index, float kp, float kd) {
  if (index >= neck_commands_.size()) return std::unexpected(index_out_of_range(index));
  // The MIT encoder would send a NaN gain as 0, leaving the joint limp.
  if (std::isnan(kp)) return std::unexpected(ControllerError::text("set_neck_gains: kp is not a number"));
  if (std::isnan(kd)) return std::unexpected(ControllerError::text("set_neck_gains: kd is not a number"));
  neck_commands_[index].kp = kp;
  neck_commands_[index].kd = kd;
  return {};
}

Result<double> NeckController::take_neck_report(std::size_t index, float position) {
  const float end = neck_motors_[index].limits.p_max;
  // A joint past the range reads as its end: where it really is, nobody knows.
  if (!(std::fabs(position) < end)) {
    neck_out_of_range_[index] = true;
    return std::unexpected(position_unknown(end));
  }
  neck_out_of_range_[index] = false;
  const auto reported = static_cast<double>(position);
  if (const auto before = neck_turns_.observe(index, reported)) {
    log::write(log::Level::Warn, log::kControllerTarget,
               joint_name(index) + " reported " + numfmt::fixed(reported, 4) + " rad, more than half a turn from turn " +
                   std::to_string(*before) + ": its motor's counter moved (a power cycle?); its positions now count from turn " +
                   std::to_string(neck_turns_.turn(index)));
  }
  return reported;
}

Result<double> NeckController::send_neck_counter(std::size_t index, double counter) {
  neck_commands_[index].position = to_single(counter);
  auto feedback = neck_motors_[index].control(*can_transport_, neck_commands_[index], clock_);
  if (!feedback) return std::unexpected(neck_failure("", feedback.error()));
  return take_neck_report(index, feedback->position);
}

Result<double> NeckController::command_neck_joint(std::size_t index, double goal) {
  // Until the joint has reported where it is, nobody knows which turn a goal
  // is meant on.
  if (!neck_turns_.known(index) && !neck_out_of_range_[index]) {
    auto feedback = neck_motors_[index].request_feedback(*can_transport_, clock_);
    if (!feedback) return std::unexpected(neck_failure("", feedback.error()));
    if (auto heard = take_neck_report(index, feedback->position); !heard) return std::unexpected(heard.error());
  }
  if (neck_out_of_range_[index]) return std::unexpected(position_unknown(neck_motors_[index].limits.p_max));
  auto reported = send_neck_counter(index, neck_turns_.counter(index, goal));
  if (!reported) return std::unexpected(reported.error());
  return neck_turns_.relative(index, *reported);
}

Result<std::array<double, 3>> NeckController::command_neck_mit(const std::array<double, 3>& positions,
                                                               std::string_view context) {
  // A NaN goal would be encoded as the bottom of the position range: refuse
  // the whole command before any joint moves. So is a command naming a joint
  // whose position is not known.
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (std::isnan(positions[i])) return std::unexpected(not_a_number(context, i));
  }
  prepare_neck();
  const auto joint_context = [&](std::size_t i) { return std::string(context) + "(" + joint_name(i) + "): "; };
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (neck_out_of_range_[i])
      return std::unexpected(lifted(position_unknown(neck_motors_[i].limits.p_max), joint_context(i)));
  }
  std::array<double, 3> reported{};
  for (std::size_t i = 0; i < positions.size(); ++i) {
    auto position = command_neck_joint(i, positions[i]);
    if (!position) return std::unexpected(lifted(std::move(position.error()), joint_context(i)));
    reported[i] = *position;
  }
  return reported;
}

Result<std::array<double, 3>> NeckController::set_neck_position(const std::array<double, 3>& positions) {
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (std::isnan(positions[i])) return std::unexpected(not_a_number("set_neck_position", i));
  }
  std::array<double, 3> clamped{};
  for (std::size_t i = 0; i < positions.size(); ++i) clamped[i] = clamp_neck_position(i, positions[i]);
  return command_neck_mit(clamped, "set_neck_position");
}

Result<double> NeckController::set_single_neck_joint(std::size_t index, double position) {
  if (index >= neck_commands_.size()) return std::unexpected(index_out_of_range(index));
  const std::string method = "set_" + joint_name(index) + "_position";
  if (std::isnan(position)) return std::unexpected(not_a_number(method, index));
  prepare_neck();
  auto reported = command_neck_joint(index, clamp_neck_position(index, position));
  if (!reported) return std::unexpected(lifted(std::move(reported.error()), method + ": "));
  return *reported;
}

Result<void> NeckController::enable_neck(bool enable) {
  prepare_neck();
  const auto sleep_ms = [this](std::chrono::milliseconds d) { sleep_(d); };
  for (std::size_t i = 0; i < neck_motors_.size(); ++i) {
    const auto& motor = neck_motors_[i];
    if (enable) {
      if (auto mode = motor.ensure_control_mode(*can_transport_, kMitMode, sleep_ms, clock_); !mode) {
        return std::unexpected(neck_failure(joint_name(i) + ": ensure MIT mode failed: ", mode.error()));
      }
      auto on = motor.enable(*can_transport_, clock_);
      if (!on) return std::unexpected(neck_failure(joint_name(i) + ": enable failed: ", on.error()));
      // The motor is on either way; a joint out of range is refused commands.
      (void)take_neck_report(i, on->position);
    } else {
      auto off = motor.disable(*can_transport_, clock_);
      if (!off) return std::unexpected(neck_failure(joint_name(i) + ": disable failed: ", off.error()));
      (void)take_neck_report(i, off->position);
    }
  }
  neck_torque_enabled_ = enable;
  return {};
}

NeckController::NeckReading NeckController::start_neck_reading() {
  prepare_neck();
  NeckReading reading{motorcom::PendingReplies(*can_transport_, clock_), {}};
  for (std::size_t i = 0; i < neck_motors_.size(); ++i) {
    reading.requests[i] = neck_motors_[i].send_feedback_request(reading.pending);
  }
  return reading;
}

Result<std::array<double, 3>> NeckController::finish_neck_counters(NeckReading& reading) {
  std::array<double, 3> positions{};
  // Replies are taken in joint order, so a failure names the first joint that
  // failed, as one request after the other would.
  for (std::size_t i = 0; i < neck_motors_.size(); ++i) {
    const auto context = "read_neck_positions(" + joint_name(i) + "): ";
    auto feedback = neck_motors_[i].feedback_reply(reading.pending, reading.requests[i]);
    if (!feedback) {
      can_transport_->failed_reading();
      return std::unexpected(neck_failure(context, feedback.error()));
    }
    auto reported = take_neck_report(i, feedback->position);
    if (!reported) return std::unexpected(lifted(std::move(reported.error()), context));
    positions[i] = *reported;
  }
  return positions;
}

Result<std::array<double, 3>> NeckController::read_neck_counters() {
  auto reading = start_neck_reading();
  return finish_neck_counters(reading);
}

Result<std::array<double, 3>> NeckController::finish_neck_reading(NeckReading& reading) {
  auto positions = finish_neck_counters(reading);
  if (!positions) return positions;
  for (std::size_t i = 0; i < positions->size(); ++i) (*positions)[i] = neck_turns_.relative(i, (*positions)[i]);
  return positions;
}

Result<std::array<double, 3>> NeckController::read_neck_positions() {
  auto reading = start_neck_reading();
  return finish_neck_reading(reading);
}

Result<motorcom::damiao::MitFeedback> NeckController::read_neck_feedback(std::size_t index) {
  if (index >= neck_motors_.size()) return std::unexpected(index_out_of_range(index));
  prepare_neck();
  const auto context = "read_neck_feedback(" + joint_name(index) + "): ";
  auto feedback = neck_motors_[index].request_feedback(*can_transport_, clock_);
  if (!feedback) return std::unexpected(neck_failure(context, feedback.error()));
  auto reported = take_neck_report(index, feedback->position);
  if (!reported) return std::unexpected(lifted(std::move(reported.error()), context));
  auto relative = *feedback;
  relative.position = static_cast<float>(neck_turns_.relative(index, *reported));
  return relative;
}

Result<motorcom::damiao::RegisterValue> NeckController::read_neck_register(std::size_t index,
                                                                           std::uint8_t register_id) {
  if (index >= neck_motors_.size()) return std::unexpected(index_out_of_range(index));
  prepare_neck();
  auto value = neck_motors_[index].read_register(*can_transport_, register_id, clock_);
  if (!value) return std::unexpected(neck_failure("read_neck_register(" + joint_name(index) + "): ", value.error()));
  return *value;
}

}  // namespace velmora::controller
