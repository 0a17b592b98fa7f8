// Arm homing: make the present arm pose the servos' stored zero by rewriting
// their position offsets (EEPROM), then check the pose reads back as ~0.

#include <algorithm>
#include <cmath>

#include "common/numfmt.hpp"
#include "common/text.hpp"
#include "controller/homing_math.hpp"
#include "controller/lift.hpp"
#include "controller/servo_controller.hpp"
#include "servocom/register_map.hpp"

namespace velmora::controller {
namespace {

std::vector<bool> all(bool value) { return std::vector<bool>(ARM_IDS.size(), value); }

// Four decimals with a sign: "[+0.0012, -0.3000]".
std::string signed_fixed4(std::span<const double> values) {
  return text::bracketed(values, [](double v) { return numfmt::fixed(v, 4, true); });
}

}  // namespace

Result<std::array<double, 4>> ServoController::set_arm_home(double verify_tol) {
  using namespace servocom::sm40bl;
  if (!(verify_tol > 0.0)) {
    return std::unexpected(
        ControllerError::text("set_arm_home: verify_tol must be positive, got " + numfmt::shortest(verify_tol)));
  }
  return on_servos(Use::Other, [&](servocom::Port& port) { return rewrite_arm_offsets(port, verify_tol); });
}

Result<std::array<double, 4>> ServoController::rewrite_arm_offsets(servocom::Port& port, double verify_tol) {
  using namespace servocom::sm40bl;
  const auto& h = feetech_handler_;

  if (auto off = sync_write_torque_enable(h, port, ARM_IDS, all(false)); !off) return std::unexpected(lifted(off.error()));
  auto present = sync_read_present_position(h, port, ARM_IDS);
  if (!present) return std::unexpected(lifted(present.error()));
  auto prior = sync_read_offset(h, port, ARM_IDS);
  if (!prior) return std::unexpected(lifted(prior.error()));
  if (present->size() != ARM_IDS.size() || prior->size() != ARM_IDS.size()) {
    return std::unexpected(ControllerError::text("set_arm_home: incomplete arm response (present=" +
                                                 std::to_string(present->size()) + " ids, offset=" +
                                                 std::to_string(prior->size()) + " ids)"));
  }

  // The servo reports present = encoder - offset, so present + offset is the
  // absolute encoder position, which becomes the new offset.
  std::array<double, 4> offsets{};
  for (std::size_t i = 0; i < offsets.size(); ++i) offsets[i] = wrap_offset((*present)[i] + (*prior)[i]);

  if (auto unlock = sync_write_lock(h, port, ARM_IDS, all(false)); !unlock) return std::unexpected(lifted(unlock.error()));
  if (auto write = sync_write_offset(h, port, ARM_IDS, offsets); !write) return std::unexpected(lifted(write.error()));
  if (auto lock = sync_write_lock(h, port, ARM_IDS, all(true)); !lock) return std::unexpected(lifted(lock.error()));

  auto verify = sync_read_present_position(h, port, ARM_IDS);
  if (!verify) return std::unexpected(lifted(verify.error()));
  if (verify->size() != ARM_IDS.size()) {
    return std::unexpected(ControllerError::text("set_arm_home: verify read returned " +
                                                 std::to_string(verify->size()) + " values (expected 4)"));
  }
  std::array<double, 4> readings{};
  std::copy(verify->begin(), verify->end(), readings.begin());

  double worst = 0.0;
  for (double v : readings) worst = std::max(worst, std::fabs(v));
  if (worst > verify_tol) {
    return std::unexpected(ControllerError::text(
        "set_arm_home: verify failed \u2014 arm IDs [1, 2, 3, 4] now reading " + signed_fixed4(readings) +
        " rad (expected ~0 within " + numfmt::fixed(verify_tol, 4) +
        "). The Feetech offset sign convention on this hardware may differ from the assumed "
        "`present = encoder - offset`. EEPROM has been left in the new state; restore manually using "
        "prior_offsets " +
        signed_fixed4(*prior) + ", new_offsets " + signed_fixed4(offsets) + "."));
  }
  return readings;
}

}  // namespace velmora::controller
