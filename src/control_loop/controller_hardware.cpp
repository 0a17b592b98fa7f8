#include "control_loop/controller_hardware.hpp"

#include <optional>

#include "controller/controller.hpp"

namespace velmora::control_loop {
namespace {

using controller::ControllerError;
using controller::VelmoraMotorController;

HardwareError convert(const ControllerError& e) { return {e.message, e.retryable, e.interrupted}; }

template <class T>
HwResult<T> convert(controller::Result<T>&& r) {
  if (!r) return std::unexpected(convert(r.error()));
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return std::move(*r);
  }
}

// Drops the value of a result whose value the loop does not use.
template <class T>
HwResult<void> discard(controller::Result<T>&& r) {
  if (!r) return std::unexpected(convert(r.error()));
  return {};
}

class ControllerHardware final : public LoopHardware {
 public:
  explicit ControllerHardware(std::unique_ptr<VelmoraMotorController> c) : c_(std::move(c)) {}

  bool has_serial_port() const override { return c_->has_serial_port(); }
  std::vector<std::uint8_t> check_missing_ids() override { return c_->check_missing_ids(); }
  std::vector<std::string> check_missing_neck_motors() override { return c_->check_missing_neck_motors(); }
  std::unordered_map<std::string, std::uint8_t> motor_name_id() const override {
    return VelmoraMotorController::get_motor_name_id();
  }
  HwResult<std::array<std::uint8_t, 7>> read_all_voltages() override { return convert(c_->read_all_voltages()); }
  HwResult<void> reboot(std::chrono::nanoseconds timeout, const StopRequested& stop) override {
    return convert(c_->reboot(timeout, stop));
  }
  HwResult<bool> is_torque_enabled() override { return convert(c_->is_torque_enabled()); }
  HwResult<std::array<double, 7>> read_all_positions() override { return convert(c_->read_all_positions()); }
  void start_neck_reading() override { neck_reading_.emplace(c_->start_neck_reading()); }
  HwResult<std::array<double, 3>> finish_neck_reading() override {
    auto positions = convert(c_->finish_neck_reading(*neck_reading_));
    neck_reading_.reset();
    return positions;
  }
  HwResult<void> set_all_goal_positions(const std::array<double, 7>& p) override {
    return convert(c_->set_all_goal_positions(p));
  }
  HwResult<void> set_left_arm_position(const std::array<double, 2>& p) override {
    return convert(c_->set_left_arm_position(p));
  }
  HwResult<void> set_right_arm_position(const std::array<double, 2>& p) override {
    return convert(c_->set_right_arm_position(p));
  }
  HwResult<void> set_arms_position(const std::array<double, 4>& p) override {
    return convert(c_->set_arms_position(p));
  }
  HwResult<void> set_nose_position(const std::array<double, 3>& p) override {
    return convert(c_->set_nose_position(p));
  }
  HwResult<void> enable_torque() override { return convert(c_->enable_torque()); }
  HwResult<void> disable_torque() override { return convert(c_->disable_torque()); }
  HwResult<void> enable_arms(bool enable) override { return convert(c_->enable_arms(enable)); }
  HwResult<void> enable_nose(bool enable) override { return convert(c_->enable_nose(enable)); }
  HwResult<void> set_torque_on_ids(std::span<const std::uint8_t> ids, bool enable) override {
    return convert(c_->set_torque_on_ids(ids, enable));
  }
  HwResult<std::vector<std::uint8_t>> read_raw_bytes(std::uint8_t id, std::uint8_t address,
                                                     std::uint8_t length) override {
    return convert(c_->read_raw_bytes(id, address, length));
  }
  HwResult<void> write_raw_bytes(std::uint8_t id, std::uint8_t address, std::span<const std::uint8_t> data) override {
    return convert(c_->write_raw_bytes(id, address, data));
  }
  HwResult<std::vector<std::uint8_t>> write_raw_packet(std::span<const std::uint8_t> data) override {
    return convert(c_->write_raw_packet(data));
  }
  double clamp_neck_position(std::size_t index, double position) const override {
    return c_->clamp_neck_position(index, position);
  }
  HwResult<void> command_neck_mit(const std::array<double, 3>& p, std::string_view context) override {
    return discard(c_->command_neck_mit(p, context));
  }
  HwResult<void> set_single_neck_joint(std::size_t index, double position) override {
    return discard(c_->set_single_neck_joint(index, position));
  }
  HwResult<void> enable_neck(bool enable) override { return convert(c_->enable_neck(enable)); }

 private:
  std::unique_ptr<VelmoraMotorController> c_;
  std::optional<VelmoraMotorController::NeckReading> neck_reading_;
};

}  // namespace

HwResult<std::unique_ptr<LoopHardware>> open_controller_hardware(const std::optional<std::string>& serialport,
                                                                 const std::string& can_bus) {
  auto opened = VelmoraMotorController::create(serialport, can_bus);
  if (!opened) return std::unexpected(convert(opened.error()));
  return std::unique_ptr<LoopHardware>(std::make_unique<ControllerHardware>(std::move(*opened)));
}

}  // namespace velmora::control_loop
