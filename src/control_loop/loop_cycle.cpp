#include "control_loop/loop_cycle.hpp"

#include <utility>
#include <vector>

#include "control_loop/command_exec.hpp"
#include "control_loop/retry.hpp"
#include "control_loop/tick_schedule.hpp"

namespace velmora::control_loop {
namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  return static_cast<double>(ns < 0 ? 0 : ns) / 1e9;
}

class Loop {
 public:
  Loop(LoopContext& ctx, LoopHardware& hw)
      : ctx_(ctx),
        hw_(hw),
        queue_(*ctx.commands),
        cells_(*ctx.cells),
        schedule_(Clock::now(), ctx.period),
        coin_(ctx.choice_seed ? FairChoice(*ctx.choice_seed) : FairChoice()),
        last_publish_(Clock::now()),
        last_tick_(last_publish_) {}

  void run() {
    while (true) {
      round();
      if (cells_.stop_flag.get()) break;
    }
    drain();
  }

 private:
  void round() {
    const auto wake = queue_.wait_until(schedule_.next_due());
    const bool tick_ready = schedule_.is_due(Clock::now());
    const bool command_ready = wake == MotorCommandQueue::Wake::Item;
    if (tick_ready && (!command_ready || coin_.tick_first())) {
      schedule_.take();
      tick();
    } else if (command_ready) {
      if (auto command = queue_.try_recv()) execute(std::move(*command));
    }
  }

  void tick() {
    const auto now = Clock::now();
    const bool stats = cells_.stats_pub_period.has_value();
    if (stats) {
      const double period = seconds(now - last_tick_);
      cells_.last_stats.update([&](StatsWindows& w) { w.period.push(period); });
      last_tick_ = now;
    }
    cells_.last_position.set(read_pos(hw_, ctx_.allowed_retries));
    if (!stats) return;
    pending_read_dts_.push(seconds(Clock::now() - now));
    if (Clock::now() - last_publish_ > *cells_.stats_pub_period) publish();
  }

  void publish() {
    const auto reads = pending_read_dts_.to_vector();
    const auto writes = pending_write_dts_.to_vector();
    cells_.last_stats.update([&](StatsWindows& w) {
      w.read_dt.append(reads);
      w.write_dt.append(writes);
    });
    pending_read_dts_ = {};
    pending_write_dts_ = {};
    last_publish_ = Clock::now();
  }

  void execute(MotorCommand command) {
    const auto t0 = Clock::now();
    auto result = handle_command(hw_, cells_.last_torque, std::move(command), ctx_.allowed_retries);
    if (result && cells_.stats_pub_period) pending_write_dts_.push(seconds(Clock::now() - t0));
  }

  // Everything accepted before the stop request is executed; no statistics
  // are taken.
  void drain() {
    while (auto command = queue_.try_recv_or_close()) {
      (void)handle_command(hw_, cells_.last_torque, std::move(*command), ctx_.allowed_retries);
    }
  }

  LoopContext& ctx_;
  LoopHardware& hw_;
  MotorCommandQueue& queue_;
  SharedCells& cells_;
  TickSchedule schedule_;
  FairChoice coin_;
  Clock::time_point last_publish_;
  Clock::time_point last_tick_;
  // Samples waiting for the next publication: no more than a window's worth,
  // however long the publication period.
  SampleWindow pending_read_dts_;
  SampleWindow pending_write_dts_;
};

// Closes the receiving end however the loop ends.
struct ReceiverCloser {
  MotorCommandQueue& queue;
  ~ReceiverCloser() { queue.close_receiver(); }
};

}  // namespace

PositionResult read_pos(LoopHardware& hw, std::uint64_t allowed_retries) {
  // The neck's requests go out before the servo reads and their replies are
  // taken after them: the CAN wait hides behind the serial one.
  hw.start_neck_reading();
  std::array<double, 7> servos{};
  if (hw.has_serial_port()) {
    auto read = with_retry(allowed_retries, [&] { return hw.read_all_positions(); });
    if (!read) return std::unexpected(MotorError::communication());
    servos = *read;
  }
  auto neck = hw.finish_neck_reading();
  if (!neck) return std::unexpected(MotorError::communication());
  return VelmoraTorsoPosition::from_readings(servos, *neck);
}

void run(LoopContext ctx) {
  const std::unique_ptr<LoopHardware> hardware = std::move(ctx.hardware);
  // Declared after the hardware, so the receiver closes before the ports do.
  const ReceiverCloser closer{*ctx.commands};
  Loop(ctx, *hardware).run();
}

}  // namespace velmora::control_loop
