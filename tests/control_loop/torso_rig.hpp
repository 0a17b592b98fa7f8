#pragma once
// The loop on a virtual torso: a controller on the fake buses of the
// controller's tests, and a clock the test moves by hand.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/log.hpp"
#include "control_loop/control_loop.hpp"
#include "fake_buses.hpp"

namespace velmora::control_loop::testing {

using controller::testing::FakeNeckBus;
using controller::testing::FakeServoPort;
using controller::testing::NeckBusState;
using controller::testing::Packet;
using controller::testing::ServoBusState;

// Moves only when advanced, or when something sleeps on it: a sleep moves it
// by its length at once. A wait whose deadline is still ahead ends only for
// what it waits for; time stands still meanwhile.
class ManualClock final : public LoopClock {
 public:
  TimePoint now() override { return TimePoint{} + std::chrono::nanoseconds(elapsed_.load()); }
  void sleep_for(std::chrono::nanoseconds duration) override { advance(duration); }
  void wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, TimePoint deadline,
                  const std::function<bool()>& ready) override {
    if (now() < deadline) cv.wait(lock, ready);
  }
  void advance(std::chrono::nanoseconds duration) { elapsed_ += duration.count(); }
  std::chrono::nanoseconds elapsed() const { return std::chrono::nanoseconds(elapsed_.load()); }

 private:
  std::atomic<std::int64_t> elapsed_{0};
};

// The process's log records, as "target: message" lines.
class LogCapture final : public log::Sink {
 public:
  // Installed on first use.
  static LogCapture& get() {
    static LogCapture capture;
    static const bool installed = log::set_sink(&capture);
    (void)installed;
    return capture;
  }
  bool enabled(log::Level, std::string_view) noexcept override { return true; }
  void write(log::Level, std::string_view target, std::string_view message, const char*,
             unsigned) noexcept override {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::string(target) + ": " + std::string(message));
    written_.notify_all();
  }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
  }
  // Blocks until `line` has been written (by any thread).
  void await(const std::string& line) {
    std::unique_lock lock(mutex_);
    written_.wait(lock, [&] { return std::ranges::find(lines_, line) != lines_.end(); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable written_;
  std::vector<std::string> lines_;
};

inline constexpr std::uint8_t kInstructionSyncRead = 0x82;
inline constexpr std::uint8_t kInstructionSyncWrite = 0x83;
inline constexpr std::uint8_t kTorqueEnable = 40;
inline constexpr std::uint8_t kPresentVoltage = 62;

struct TorsoRig {
  std::shared_ptr<ServoBusState> servos = std::make_shared<ServoBusState>();
  std::shared_ptr<NeckBusState> neck = std::make_shared<NeckBusState>();
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  // Controllers released so far (counted when their CAN bus closes).
  std::shared_ptr<std::atomic<int>> released = std::make_shared<std::atomic<int>>(0);
  bool serial = true;

  TorsoRig() {
    for (std::uint8_t id = 1; id <= 7; ++id) servos->registers[id][kPresentVoltage] = 120;
  }

  LoopSettings settings() const {
    LoopSettings s;
    if (serial) s.serialport = "/dev/null";
    // On the hand-moved clock no tick after the first comes unless time moves.
    s.read_position_loop_period = std::chrono::milliseconds(10);
    s.clock = clock;
    return s;
  }

  std::unique_ptr<VelmoraMotorController> controller() const {
    std::unique_ptr<servocom::Port> port;
    if (serial) port = std::make_unique<FakeServoPort>(servos);
    return std::make_unique<VelmoraMotorController>(
        std::move(port), std::make_unique<ObservedBus>(neck, released),
        [c = clock](std::chrono::microseconds d) { c->sleep_for(d); }, [c = clock] { return c->now(); });
  }

  HardwareFactory factory() const {
    return [this](const std::optional<std::string>&, const std::string&, const std::shared_ptr<LoopClock>&)
               -> controller::Result<std::unique_ptr<VelmoraMotorController>> { return controller(); };
  }

  std::expected<std::unique_ptr<VelmoraControlLoop>, MotorError> create(const StopRequested& stop = {}) const {
    return VelmoraControlLoop::create(settings(), factory(), stop);
  }

  // Blocks until `count` controllers have been released.
  void await_released(int count) const {
    for (int seen = released->load(); seen < count; seen = released->load()) released->wait(seen);
  }

 private:
  class ObservedBus final : public motorcom::CanTransport {
   public:
    ObservedBus(std::shared_ptr<NeckBusState> state, std::shared_ptr<std::atomic<int>> released)
        : bus_(std::move(state)), released_(std::move(released)) {}
    ~ObservedBus() override {
      ++*released_;
      released_->notify_all();
    }
    motorcom::CanResult<void> send(const motorcom::CanFrame& frame) override { return bus_.send(frame); }
    motorcom::CanResult<motorcom::CanFrame> recv(std::chrono::nanoseconds timeout) override {
      return bus_.recv(timeout);
    }

   private:
    FakeNeckBus bus_;
    std::shared_ptr<std::atomic<int>> released_;
  };
};

}  // namespace velmora::control_loop::testing
