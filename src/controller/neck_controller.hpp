#pragma once
// The neck's CAN bus: three Damiao motors in MIT impedance mode (index 0 yaw,
// 1 pitch, 2 roll). Positions and goals are relative to the turn each joint
// rests on (neck_turns.hpp); a command to a joint not heard from yet asks for
// its position first. Not thread-safe: its users call one operation at a time.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "controller/bus_tap.hpp"
#include "controller/can_link.hpp"
#include "controller/controller_error.hpp"
#include "controller/neck_turns.hpp"
#include "motorcom/can.hpp"
#include "motorcom/damiao/driver.hpp"

namespace velmora::controller {

// The neck motors' CAN ids (each answers on the same id), in joint order.
inline constexpr std::array<std::uint16_t, 3> NECK_CAN_IDS{1, 2, 3};
inline constexpr std::array<std::pair<double, double>, 3> NECK_POSITION_LIMITS{
    {{-0.5, 0.5}, {0.0, 0.45}, {-0.4, 0.4}}};

class NeckController {
 public:
  using Sleep = std::function<void(std::chrono::microseconds)>;
  using Clock = motorcom::Clock;
  using StopRequested = std::function<bool()>;

  // reopen empty: a lost interface is never bound again. sleep and clock
  // must be set.
  NeckController(std::unique_ptr<motorcom::CanTransport> can, std::string name, CanLink::Open reopen, Sleep sleep,
                 Clock clock);

  void set_reconnect_interval(std::chrono::nanoseconds interval) { can_transport_->set_reopen_interval(interval); }
  void set_tap(BusTap* tap) { can_transport_->set_tap(tap); }
  const std::string& name() const { return can_transport_->name(); }

  // The joints whose motor does not answer a feedback request.
  std::vector<std::string> check_missing_neck_motors();

  // The goal limited to the joint's safety range, with a warning when it had
  // to move (a NaN goal, or an index past the neck, comes back unchanged).
  static double clamp_neck_position(std::size_t index, double position);
  // The same limit without the warning.
  static double limited_neck_goal(std::size_t index, double position);
  Result<void> set_neck_gains(std::size_t index, float kp, float kd);
  Result<std::array<double, 3>> command_neck_mit(const std::array<double, 3>& positions, std::string_view context);
  Result<std::array<double, 3>> set_neck_position(const std::array<double, 3>& positions);
  Result<double> set_single_neck_joint(std::size_t index, double position);
  Result<void> enable_neck(bool enable);
  Result<std::array<double, 3>> read_neck_positions();
  // The same reading in two halves: the requests go out together, their
  // replies are collected later.
  struct NeckReading {
    motorcom::PendingReplies pending;
    std::array<std::size_t, 3> requests{};
  };
  NeckReading start_neck_reading();
  Result<std::array<double, 3>> finish_neck_reading(NeckReading& reading);
  Result<motorcom::damiao::MitFeedback> read_neck_feedback(std::size_t index);
  Result<motorcom::damiao::RegisterValue> read_neck_register(std::size_t index, std::uint8_t register_id);
  bool is_neck_torque_enabled() const { return neck_torque_enabled_; }

  // Ramps every joint to the turn nearest to it and waits until all settle.
  Result<std::array<double, 3>> neck_home(double speed, double tolerance, std::optional<float> kp,
                                          std::optional<float> kd, const StopRequested& stop);

 private:
  // Before every operation on the neck: a CAN interface bound anew means
  // the motors may have been through anything, so every joint's turn and
  // range are taken again from its next report.
  void prepare_neck();
  // A driver failure lifted with its context; while the interface is lost,
  // the interface and why instead of the transport's bare text.
  ControllerError neck_failure(std::string_view context, const motorcom::damiao::Error& e) const;
  // The three positions as the motors' counters report them.
  Result<std::array<double, 3>> read_neck_counters();
  Result<std::array<double, 3>> finish_neck_counters(NeckReading& reading);
  // Every position a neck joint reports passes through here. One at the end
  // of the range the feedback can carry leaves the joint's position unknown
  // (the error says so) until a report within it; any other moves the
  // joint's turn when its counter has moved, with a warning. The position as
  // reported, on the motor's counter.
  Result<double> take_neck_report(std::size_t index, float position);
  // One MIT command with the position on the motor's own counter (the joint's
  // turn known); the reply's position on that counter too.
  Result<double> send_neck_counter(std::size_t index, double counter);
  // One MIT command with a goal relative to the joint's turn, learning the
  // turn first when it is unknown; the reply's position relative to the turn.
  Result<double> command_neck_joint(std::size_t index, double goal);

  std::array<motorcom::damiao::Damiao, 3> neck_motors_;
  std::unique_ptr<CanLink> can_transport_;
  std::array<motorcom::damiao::MitCommand, 3> neck_commands_;
  NeckTurns neck_turns_;
  // Joints whose motor last reported the end of its position range: where
  // they are is not known, and they are not commanded.
  std::array<bool, 3> neck_out_of_range_{};
  bool neck_torque_enabled_ = false;
  Sleep sleep_;
  Clock clock_;
};

}  // namespace velmora::controller
