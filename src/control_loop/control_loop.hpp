#pragma once
// VelmoraControlLoop: checks the hardware, starts the one loop thread that owns
// the controller from then on, and gives callers the shared cells and the
// command queue. close() stops the thread after it has executed everything
// queued, and waits for it.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

#include "control_loop/controller_hardware.hpp"
#include "control_loop/loop_clock.hpp"
#include "control_loop/loop_cycle.hpp"
#include "control_loop/motor_command.hpp"
#include "control_loop/motor_error.hpp"
#include "control_loop/realtime.hpp"
#include "control_loop/shared_cells.hpp"

namespace velmora::control_loop {

inline constexpr std::chrono::seconds kReadRawBytesTimeout{1};
inline constexpr std::chrono::milliseconds kVoltagePollInterval{100};
inline constexpr std::chrono::seconds kRebootTimeout{1};
inline constexpr std::uint8_t kMinimumDecivolts = 110;

struct LoopSettings {
  std::optional<std::string> serialport;
  std::chrono::nanoseconds read_position_loop_period{};
  std::string can_bus = "can0";
  std::uint64_t allowed_retries = 5;
  std::optional<std::chrono::nanoseconds> stats_pub_period;
  std::chrono::nanoseconds voltage_rampup_timeout = std::chrono::seconds(30);
  std::shared_ptr<LoopClock> clock;  // empty: the steady clock
};

// Asked between the polls of a long start-up wait; true stops it. Empty: never.
using StopRequested = VelmoraMotorController::StopRequested;

// Why these settings cannot run a loop, or nothing when they can. A zero
// period or zero attempts would otherwise only kill the loop thread later.
std::optional<std::string> invalid_settings(const LoopSettings& settings);

class VelmoraControlLoop {
 public:
  using NameIds = std::unordered_map<std::string, std::uint8_t>;

  // Runs the start-up checks on the calling thread, then starts the loop.
  // Settings rejected by invalid_settings() throw std::invalid_argument.
  // `stop` is asked between the polls of the voltage wait and of the reboot;
  // when it says so, start-up ends with Interrupted, leaving nothing open.
  static std::expected<std::unique_ptr<VelmoraControlLoop>, MotorError> create(LoopSettings settings,
                                                                               const HardwareFactory& open,
                                                                               const StopRequested& stop = {});
  ~VelmoraControlLoop();
  VelmoraControlLoop(const VelmoraControlLoop&) = delete;
  VelmoraControlLoop& operator=(const VelmoraControlLoop&) = delete;

  // Asks the loop to stop and waits for its thread; later calls do nothing.
  // Called on the loop thread itself (from a log handler), it only asks.
  void close();
  // True on the loop thread: code called back from it (a Python log handler)
  // must not wait for the loop, which would wait for itself.
  bool on_loop_thread() const { return std::this_thread::get_id() == thread_record_->id.load(); }

  // False once close() was asked for, or the loop thread has ended: from
  // then on every command is refused.
  bool is_open() const { return commands_->is_accepting(); }

  PositionResult get_last_position() const { return cells_->last_position.get(); }
  TorqueResult is_torque_enabled() const { return cells_->last_torque.get(); }
  std::optional<ControlLoopStats> get_stats() const;
  const NameIds& motor_name_id() const { return motor_name_id_; }

  // Queues a command, waiting while the queue is full; a stopped loop hands
  // it back, and so does a full queue on the loop thread.
  std::expected<void, MotorCommand> send(MotorCommand command) {
    if (on_loop_thread()) {
      bool would_block = false;
      return commands_->try_send(std::move(command), would_block);
    }
    return commands_->send(std::move(command));
  }
  std::expected<void, MotorCommand> try_send(MotorCommand command, bool& would_block) {
    return commands_->try_send(std::move(command), would_block);
  }
  // SCHED_FIFO at `priority` for the loop thread, pinned to `cpu` when given.
  // Applied through the thread's handle at once: no command is queued and
  // nothing waits for the loop, only for a close() that is joining it.
  std::expected<void, RealtimeError> set_realtime(int priority, std::optional<int> cpu);

  // The recording the loop writes into from its next round on (null: none).
  // Returns the one it replaces.
  std::shared_ptr<FlightRecorder> record_into(std::shared_ptr<FlightRecorder> recorder) {
    std::shared_ptr<FlightRecorder> before;
    cells_->recorder.update([&](std::shared_ptr<FlightRecorder>& slot) { before = std::exchange(slot, std::move(recorder)); });
    return before;
  }
  // Queues a raw register read and waits up to 1 s for its bytes.
  std::expected<Bytes, MotorError> async_read_raw_bytes(std::uint8_t id, std::uint8_t addr, std::uint8_t length);

 private:
  // What the loop thread tells about itself. The thread co-owns it and never
  // touches the loop object, so a loop dropped on its own thread (the last
  // reference let go in a log handler) leaves the thread nothing dangling.
  struct ThreadRecord {
    std::atomic<std::thread::id> id{};
    // Written by the thread just before it ends; read after the join, or by
    // the thread itself once nobody will join it.
    std::optional<std::string> failure;
    // Set on the loop thread only (by the loop's destructor running there).
    bool orphaned = false;
  };

  VelmoraControlLoop(std::shared_ptr<MotorCommandQueue> commands, std::shared_ptr<SharedCells> cells, NameIds names,
                     std::shared_ptr<LoopClock> clock)
      : commands_(std::move(commands)),
        cells_(std::move(cells)),
        motor_name_id_(std::move(names)),
        clock_(std::move(clock)) {}

  std::shared_ptr<MotorCommandQueue> commands_;
  std::shared_ptr<SharedCells> cells_;
  NameIds motor_name_id_;
  std::shared_ptr<LoopClock> clock_;
  const std::shared_ptr<ThreadRecord> thread_record_ = std::make_shared<ThreadRecord>();
  std::mutex join_mutex_;
  std::thread thread_;
};

}  // namespace velmora::control_loop
