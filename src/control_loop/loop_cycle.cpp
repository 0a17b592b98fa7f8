#include "control_loop/loop_cycle.hpp"

#include <utility>

#include "control_loop/command_exec.hpp"
#include "control_loop/retry.hpp"

namespace velmora::control_loop {
namespace {

double seconds(LoopClock::TimePoint::duration d) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  return static_cast<double>(ns < 0 ? 0 : ns) / 1e9;
}

// Closes the receiving end however the loop ends.
struct ReceiverCloser {
  MotorCommandQueue& queue;
  ~ReceiverCloser() { queue.close_receiver(); }
};

}  // namespace

PositionResult read_pos(controller::VelmoraMotorController& controller, std::uint64_t allowed_retries,
                        LoopClock& clock, controller::ControllerError* why) {
  auto reading = controller.read_torso_with([&]() -> controller::Result<std::array<double, 7>> {
    if (!controller.has_serial_port()) return std::array<double, 7>{};
    return with_retry(allowed_retries, clock, [&] { return controller.read_all_positions(); });
  });
  if (!reading) {
    if (why != nullptr) *why = std::move(reading.error());
    return std::unexpected(MotorError::communication());
  }
  return VelmoraTorsoPosition::from_readings(reading->servos, reading->neck);
}

LoopCycle::LoopCycle(const LoopContext& ctx)
    : controller_(*ctx.controller),
      queue_(*ctx.commands),
      cells_(*ctx.cells),
      clock_(*ctx.clock),
      allowed_retries_(ctx.allowed_retries),
      schedule_(clock_.now(), ctx.period),
      coin_(ctx.choice_seed ? FairChoice(*ctx.choice_seed) : FairChoice()),
      last_publish_(clock_.now()),
      last_tick_(last_publish_),
      recording_(cells_.recorder, controller_) {}

void LoopCycle::run() {
  while (true) {
    round();
    if (cells_.stop_flag.get()) break;
  }
  drain();
}

void LoopCycle::round() {
  const auto wake = queue_.wait_until(clock_, schedule_.next_due());
  // After the wait: a command queued once a recording was asked for is in it.
  recording_.refresh();
  const bool tick_ready = schedule_.is_due(clock_.now());
  const bool command_ready = wake == MotorCommandQueue::Wake::Item;
  if (tick_ready && (!command_ready || coin_.tick_first())) {
    schedule_.take();
    tick();
  } else if (command_ready) {
    if (auto command = queue_.try_recv()) execute(std::move(*command));
  }
}

void LoopCycle::tick() {
  const auto now = clock_.now();
  const auto started_ns = recording_.on() ? wall_ns() : 0;
  const bool stats = cells_.stats_pub_period.has_value();
  const double period = seconds(now - last_tick_);
  last_tick_ = now;
  if (stats) cells_.last_stats.update([&](StatsWindows& w) { w.period.push(period); });
  controller::ControllerError why;
  auto position = read_pos(controller_, allowed_retries_, clock_, &why);
  const double read_s = seconds(clock_.now() - now);
  recording_.tick(started_ns, period, read_s, position, why);
  const bool ok = position.has_value();
  cells_.last_position.set(std::move(position));
  after_reading(ok, why);
  if (!stats) return;
  pending_read_dts_.push(read_s);
  if (clock_.now() - last_publish_ > *cells_.stats_pub_period) publish();
}

void LoopCycle::after_reading(bool ok, const controller::ControllerError& why) {
  const auto now = clock_.now();
  const bool servos = controller_.has_serial_port();
  if (!ok) {
    if (!why.disconnected) {
      reading_outage_.begin(now, "failing (" + controller_.device_name(why.bus) + ": " + why.detail() + ")");
    }
    reading_outage_.failed_reading();
    if (servos && !torque_stale_) {
      torque_stale_ = true;
      cells_.last_torque.set(std::unexpected(MotorError::communication()));
    }
    return;
  }
  reading_outage_.end(now);
  if (!servos || (!torque_stale_ && controller_.serial_reconnections() == serial_reconnections_seen_)) return;
  serial_reconnections_seen_ = controller_.serial_reconnections();
  auto torque = with_retry(allowed_retries_, clock_, [&] { return controller_.is_torque_enabled(); });
  torque_stale_ = !torque;
  cells_.last_torque.set(torque ? TorqueResult(*torque) : std::unexpected(MotorError::communication()));
}

void LoopCycle::publish() {
  const auto reads = pending_read_dts_.to_vector();
  const auto writes = pending_write_dts_.to_vector();
  cells_.last_stats.update([&](StatsWindows& w) {
    w.read_dt.append(reads);
    w.write_dt.append(writes);
  });
  pending_read_dts_ = {};
  pending_write_dts_ = {};
  last_publish_ = clock_.now();
}

void LoopCycle::execute(MotorCommand command) {
  const auto t0 = clock_.now();
  const auto started = recording_.starting(command);
  auto result = handle_command(controller_, cells_.last_torque, std::move(command), allowed_retries_, clock_);
  const double took = seconds(clock_.now() - t0);
  recording_.command(started, result, took);
  if (result && cells_.stats_pub_period) pending_write_dts_.push(took);
}

void LoopCycle::drain() {
  recording_.refresh();
  while (auto command = queue_.try_recv_or_close()) {
    const auto t0 = clock_.now();
    const auto started = recording_.starting(*command);
    auto result = handle_command(controller_, cells_.last_torque, std::move(*command), allowed_retries_, clock_);
    recording_.command(started, result, seconds(clock_.now() - t0));
  }
}

void run(LoopContext ctx) {
  // The context, a parameter, outlives this local: the receiver closes before
  // the controller closes the ports.
  const ReceiverCloser closer{*ctx.commands};
  LoopCycle(ctx).run();
}

}  // namespace velmora::control_loop
