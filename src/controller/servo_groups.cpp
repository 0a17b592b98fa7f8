// Operations on the seven Feetech servos: arms (SM40BL map) and nose
// (STS3025BL map). Two-group operations do the arms first and stop there when
// the arm transaction fails. Each runs through on_servos(), which holds the
// serial port's link to its device.

#include <algorithm>

#include "controller/lift.hpp"
#include "controller/servo_controller.hpp"
#include "servocom/register_map.hpp"

namespace velmora::controller {
namespace {

constexpr std::chrono::milliseconds kRawReplyWindow{10};
constexpr std::chrono::milliseconds kRawPollInterval{5};

// The register maps return one value per id or fail; a short list would be a
// broken servo library, and must not turn into silent zeros.
template <class T, std::size_t N>
Result<std::array<T, N>> join_groups(std::string_view what, const std::vector<T>& arms, const std::vector<T>& nose) {
  if (arms.size() + nose.size() != N || arms.size() != ARM_IDS.size()) {
    return std::unexpected(ControllerError::text(std::string(what) + ": incomplete servo response (arms=" +
                                                 std::to_string(arms.size()) + ", nose=" + std::to_string(nose.size()) +
                                                 ")"));
  }
  std::array<T, N> out{};
  std::copy(arms.begin(), arms.end(), out.begin());
  std::copy(nose.begin(), nose.end(), out.begin() + static_cast<std::ptrdiff_t>(arms.size()));
  return out;
}

// Both groups' reads, arms first, joined.
template <std::size_t N, class ReadArms, class ReadNose>
auto read_both(std::string_view what, ReadArms&& arms, ReadNose&& nose)
    -> Result<std::array<typename decltype(arms())::value_type::value_type, N>> {
  using T = typename decltype(arms())::value_type::value_type;
  auto a = arms();
  if (!a) return std::unexpected(lifted(a.error()));
  auto n = nose();
  if (!n) return std::unexpected(lifted(n.error()));
  return join_groups<T, N>(what, *a, *n);
}

bool is_arm(std::uint8_t id) { return id >= 1 && id <= 4; }
bool is_nose(std::uint8_t id) { return id >= 5 && id <= 7; }

}  // namespace

Result<std::array<double, 7>> ServoController::read_all_positions() {
  return on_servos(Use::Reading, [&](servocom::Port& port) {
    return read_both<7>(
        "read_all_positions",
        [&] { return servocom::sm40bl::sync_read_present_position(feetech_handler_, port, ARM_IDS); },
        [&] { return servocom::sts3025bl::sync_read_present_position(feetech_handler_, port, NOSE_IDS); });
  });
}

Result<std::array<std::uint8_t, 7>> ServoController::read_all_voltages() {
  return on_servos(Use::Other, [&](servocom::Port& port) {
    return read_both<7>(
        "read_all_voltages",
        [&] { return servocom::sm40bl::sync_read_present_voltage(feetech_handler_, port, ARM_IDS); },
        [&] { return servocom::sts3025bl::sync_read_present_voltage(feetech_handler_, port, NOSE_IDS); });
  });
}

Result<bool> ServoController::is_torque_enabled() {
  return on_servos(Use::Other, [&](servocom::Port& port) -> Result<bool> {
    auto flags = read_both<7>(
        "is_torque_enabled",
        [&] { return servocom::sm40bl::sync_read_torque_enable(feetech_handler_, port, ARM_IDS); },
        [&] { return servocom::sts3025bl::sync_read_torque_enable(feetech_handler_, port, NOSE_IDS); });
    if (!flags) return std::unexpected(flags.error());
    return std::all_of(flags->begin(), flags->end(), [](bool b) { return b; });
  });
}

Result<void> ServoController::set_all_goal_positions(const std::array<double, 7>& positions) {
  return on_servos(Use::Other, [&](servocom::Port& port) -> Result<void> {
    const std::span<const double> all(positions);
    auto arms = servocom::sm40bl::sync_write_goal_position(feetech_handler_, port, ARM_IDS, all.first(4));
    if (!arms) return std::unexpected(lifted(arms.error()));
    return lift(servocom::sts3025bl::sync_write_goal_position(feetech_handler_, port, NOSE_IDS, all.subspan(4)));
  });
}

Result<void> ServoController::set_arms_position(const std::array<double, 4>& positions) {
  return on_servos(Use::Other, [&](servocom::Port& port) {
    return lift(servocom::sm40bl::sync_write_goal_position(feetech_handler_, port, ARM_IDS, positions));
  });
}

Result<void> ServoController::set_left_arm_position(const std::array<double, 2>& positions) {
  return on_servos(Use::Other, [&](servocom::Port& port) {
    return lift(servocom::sm40bl::sync_write_goal_position(feetech_handler_, port, LEFT_ARM_IDS, positions));
  });
}

Result<void> ServoController::set_right_arm_position(const std::array<double, 2>& positions) {
  return on_servos(Use::Other, [&](servocom::Port& port) {
    return lift(servocom::sm40bl::sync_write_goal_position(feetech_handler_, port, RIGHT_ARM_IDS, positions));
  });
}

Result<void> ServoController::set_nose_position(const std::array<double, 3>& positions) {
  return on_servos(Use::Other, [&](servocom::Port& port) {
    return lift(servocom::sts3025bl::sync_write_goal_position(feetech_handler_, port, NOSE_IDS, positions));
  });
}

Result<void> ServoController::enable_torque() {
  if (auto ok = enable_arms(true); !ok) return ok;
  return enable_nose(true);
}

Result<void> ServoController::disable_torque() {
  if (auto ok = enable_arms(false); !ok) return ok;
  return enable_nose(false);
}

Result<void> ServoController::enable_arms(bool enable) {
  return on_servos(Use::Other, [&](servocom::Port& port) {
    return lift(servocom::sm40bl::sync_write_torque_enable(feetech_handler_, port, ARM_IDS,
                                                           std::vector<bool>(ARM_IDS.size(), enable)));
  });
}

Result<void> ServoController::enable_nose(bool enable) {
  return on_servos(Use::Other, [&](servocom::Port& port) {
    return lift(servocom::sts3025bl::sync_write_torque_enable(feetech_handler_, port, NOSE_IDS,
                                                              std::vector<bool>(NOSE_IDS.size(), enable)));
  });
}

Result<void> ServoController::set_torque_on_ids(std::span<const std::uint8_t> ids, bool enable) {
  std::vector<std::uint8_t> arms;
  std::vector<std::uint8_t> nose;
  for (std::uint8_t id : ids) {
    if (is_arm(id)) arms.push_back(id);
    else if (is_nose(id)) nose.push_back(id);
  }
  if (arms.empty() && nose.empty()) return {};
  return on_servos(Use::Other, [&](servocom::Port& port) -> Result<void> {
    if (!arms.empty()) {
      auto written = servocom::sm40bl::sync_write_torque_enable(feetech_handler_, port, arms,
                                                                std::vector<bool>(arms.size(), enable));
      if (!written) return std::unexpected(lifted(written.error()));
    }
    if (!nose.empty()) {
      auto written = servocom::sts3025bl::sync_write_torque_enable(feetech_handler_, port, nose,
                                                                   std::vector<bool>(nose.size(), enable));
      if (!written) return std::unexpected(lifted(written.error()));
    }
    return {};
  });
}

Result<std::vector<std::uint8_t>> ServoController::write_raw_packet(std::span<const std::uint8_t> data) {
  return on_servos(Use::Other, [&](servocom::Port& port) -> Result<std::vector<std::uint8_t>> {
    // Leftovers of earlier transactions are not this packet's reply.
    if (auto d = feetech_handler_.discard_stale_input(port); !d) return std::unexpected(lifted(d.error()));
    if (auto w = port.write_all(data); !w) return std::unexpected(lifted(w.error()));
    if (auto d = port.drain(); !d) return std::unexpected(lifted(d.error()));
    auto waiting = port.bytes_waiting();
    if (!waiting) return std::unexpected(lifted(waiting.error()));
    const auto start = clock_();
    while (*waiting == 0) {
      if (clock_() - start >= kRawReplyWindow) return std::vector<std::uint8_t>{};
      sleep_(kRawPollInterval);
      waiting = port.bytes_waiting();
      if (!waiting) return std::unexpected(lifted(waiting.error()));
    }
    std::vector<std::uint8_t> reply(*waiting);
    if (auto r = port.read_exact(reply); !r) return std::unexpected(lifted(r.error()));
    return reply;
  });
}

Result<std::vector<std::uint8_t>> ServoController::read_raw_bytes(std::uint8_t id, std::uint8_t address,
                                                                  std::uint8_t length) {
  return on_servos(Use::Other, [&](servocom::Port& port) -> Result<std::vector<std::uint8_t>> {
    auto bytes = feetech_handler_.read(port, id, address, length);
    if (!bytes) return std::unexpected(lifted(bytes.error()));
    // A reply of another length is some other transaction's (a late reply to
    // an earlier read of this servo), never this read's data.
    if (bytes->size() != length) {
      return std::unexpected(lifted(servocom::Error::bad_reply("servo " + std::to_string(id) +
                                                             " answered a read of " + std::to_string(length) +
                                                             " bytes with " + std::to_string(bytes->size()))));
    }
    return std::move(*bytes);
  });
}

Result<servocom::ServoState> ServoController::read_servo_state(std::uint8_t id) {
  auto bytes = read_raw_bytes(id, servocom::kServoStateAddress, servocom::kServoStateLength);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  return lift(servocom::decode_servo_state(*bytes));
}

Result<void> ServoController::write_raw_bytes(std::uint8_t id, std::uint8_t address,
                                              std::span<const std::uint8_t> data) {
  return on_servos(Use::Other,
                   [&](servocom::Port& port) { return lift(feetech_handler_.write(port, id, address, data)); });
}

}  // namespace velmora::controller
