#pragma once
// A scripted stand-in for the controller: records every call and answers from
// a state the test shares with it (the loop thread owns the fake itself).

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "control_loop/loop_hardware.hpp"

namespace velmora::control_loop::testing {

struct FakeState {
  std::mutex mutex;
  bool serial = true;
  std::vector<std::uint8_t> missing_ids;
  std::vector<std::string> missing_neck;
  std::array<std::uint8_t, 7> voltages{120, 120, 120, 120, 120, 120, 120};
  std::array<double, 7> servo_positions{0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7};
  std::array<double, 3> neck_positions{0.01, 0.02, 0.03};
  bool torque = false;
  // Failures to return from the next calls of read_all_positions / read_raw_bytes.
  std::deque<HardwareError> position_failures;
  std::deque<HardwareError> raw_read_failures;
  bool fail_commands = false;
  std::chrono::milliseconds command_delay{0};
  std::function<void()> on_read;  // runs inside read_all_positions
  std::vector<std::string> calls;
  int position_reads = 0;

  void record(std::string call) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(call));
  }
  std::vector<std::string> snapshot() {
    std::lock_guard lock(mutex);
    return calls;
  }
};

class FakeHardware final : public LoopHardware {
  template <class F>
  auto locked(F&& f) -> decltype(f()) {
    std::lock_guard lock(s_->mutex);
    return f();
  }

 public:
  explicit FakeHardware(std::shared_ptr<FakeState> s) : s_(std::move(s)) {}

  bool has_serial_port() const override { return s_->serial; }
  std::vector<std::uint8_t> check_missing_ids() override { return locked([&] { return s_->missing_ids; }); }
  std::vector<std::string> check_missing_neck_motors() override { return locked([&] { return s_->missing_neck; }); }
  std::unordered_map<std::string, std::uint8_t> motor_name_id() const override {
    return {{"left_arm_pitch", 1}, {"left_arm_yaw", 2}, {"right_arm_pitch", 3}, {"right_arm_yaw", 4},
            {"nose_top", 5},       {"nose_left", 6},    {"nose_right", 7}};
  }
  HwResult<std::array<std::uint8_t, 7>> read_all_voltages() override {
    s_->record("read_all_voltages");
    return locked([&] { return s_->voltages; });
  }
  HwResult<void> reboot(std::chrono::nanoseconds, const StopRequested&) override { return ok("reboot"); }
  HwResult<bool> is_torque_enabled() override { return locked([&] { return s_->torque; }); }
  HwResult<std::array<double, 7>> read_all_positions() override {
    std::function<void()> hook;
    {
      std::lock_guard lock(s_->mutex);
      ++s_->position_reads;
      hook = s_->on_read;
      if (!s_->position_failures.empty()) {
        auto e = s_->position_failures.front();
        s_->position_failures.pop_front();
        return std::unexpected(e);
      }
    }
    if (hook) hook();
    return locked([&] { return s_->servo_positions; });
  }
  void start_neck_reading() override {}
  HwResult<std::array<double, 3>> finish_neck_reading() override {
    return locked([&] { return s_->neck_positions; });
  }
  HwResult<void> set_all_goal_positions(const std::array<double, 7>& p) override {
    return ok("set_all_goal_positions " + join(p));
  }
  HwResult<void> set_left_arm_position(const std::array<double, 2>& p) override {
    return ok("set_left_arm_position " + join(p));
  }
  HwResult<void> set_right_arm_position(const std::array<double, 2>& p) override {
    return ok("set_right_arm_position " + join(p));
  }
  HwResult<void> set_arms_position(const std::array<double, 4>& p) override {
    return ok("set_arms_position " + join(p));
  }
  HwResult<void> set_nose_position(const std::array<double, 3>& p) override {
    return ok("set_nose_position " + join(p));
  }
  HwResult<void> enable_torque() override { return ok("enable_torque"); }
  HwResult<void> disable_torque() override { return ok("disable_torque"); }
  HwResult<void> enable_arms(bool e) override { return ok(std::string("enable_arms ") + (e ? "1" : "0")); }
  HwResult<void> enable_nose(bool e) override { return ok(std::string("enable_nose ") + (e ? "1" : "0")); }
  HwResult<void> set_torque_on_ids(std::span<const std::uint8_t> ids, bool e) override {
    std::string s = "set_torque_on_ids";
    for (auto id : ids) s += " " + std::to_string(id);
    return ok(s + (e ? " on" : " off"));
  }
  HwResult<std::vector<std::uint8_t>> read_raw_bytes(std::uint8_t id, std::uint8_t addr, std::uint8_t len) override {
    s_->record("read_raw_bytes " + std::to_string(id) + " " + std::to_string(addr) + " " + std::to_string(len));
    std::lock_guard lock(s_->mutex);
    if (!s_->raw_read_failures.empty()) {
      auto e = s_->raw_read_failures.front();
      s_->raw_read_failures.pop_front();
      return std::unexpected(e);
    }
    return std::vector<std::uint8_t>(len, id);
  }
  HwResult<void> write_raw_bytes(std::uint8_t id, std::uint8_t addr, std::span<const std::uint8_t> data) override {
    return ok("write_raw_bytes " + std::to_string(id) + " " + std::to_string(addr) + " " +
              std::to_string(data.size()));
  }
  HwResult<std::vector<std::uint8_t>> write_raw_packet(std::span<const std::uint8_t> data) override {
    if (auto r = ok("write_raw_packet"); !r) return std::unexpected(r.error());
    return std::vector<std::uint8_t>(data.rbegin(), data.rend());
  }
  double clamp_neck_position(std::size_t, double p) const override { return p > 0.5 ? 0.5 : p; }
  HwResult<void> command_neck_mit(const std::array<double, 3>& p, std::string_view context) override {
    return ok("command_neck_mit " + join(p) + " " + std::string(context));
  }
  HwResult<void> set_single_neck_joint(std::size_t i, double p) override {
    return ok("set_single_neck_joint " + std::to_string(i) + " " + fmt(p));
  }
  HwResult<void> enable_neck(bool e) override { return ok(std::string("enable_neck ") + (e ? "1" : "0")); }

 private:
  HwResult<void> ok(std::string call) {
    std::chrono::milliseconds delay;
    bool fail;
    {
      std::lock_guard lock(s_->mutex);
      delay = s_->command_delay;
      fail = s_->fail_commands;
    }
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    s_->record(std::move(call));
    if (fail) return std::unexpected(HardwareError{"scripted failure", false});
    return {};
  }
  static std::string fmt(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
  }
  template <std::size_t N>
  static std::string join(const std::array<double, N>& p) {
    std::string s;
    for (std::size_t i = 0; i < N; ++i) s += (i ? "," : "") + fmt(p[i]);
    return s;
  }
  std::shared_ptr<FakeState> s_;
};

inline HardwareFactory fake_factory(std::shared_ptr<FakeState> state) {
  return [state](const std::optional<std::string>&, const std::string&) -> HwResult<std::unique_ptr<LoopHardware>> {
    return std::unique_ptr<LoopHardware>(std::make_unique<FakeHardware>(state));
  };
}

}  // namespace velmora::control_loop::testing
