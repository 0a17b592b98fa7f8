#include "control_loop/command_exec.hpp"

#include <string>
#include <utility>

#include "control_loop/retry.hpp"

namespace velmora::control_loop {
namespace {

using controller::ControllerError;
using controller::Result;

struct Executor {
  controller::VelmoraMotorController& c;
  Cell<TorqueResult>& last_torque;
  std::uint64_t retries;
  LoopClock& clock;

  // A joint command is its controller operation; the loop wants no value back.
  template <JointCommand Command>
  Result<void> operator()(Command& m) {
    auto result = m.run(c);
    if (!result) return std::unexpected(std::move(result.error()));
    if constexpr (Command::torque_after == TorqueAfter::On) last_torque.set(true);
    if constexpr (Command::torque_after == TorqueAfter::Off) last_torque.set(false);
    return {};
  }
  Result<void> operator()(cmd::ReadRawBytes& m) {
    auto bytes = with_retry(retries, clock, [&] { return c.read_raw_bytes(m.id, m.address, m.length); });
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    // A requester that gave up no longer matters: the read itself succeeded.
    (void)m.reply.send(std::move(*bytes));
    return {};
  }
  Result<void> operator()(cmd::WriteRawBytes& m) { return c.write_raw_bytes(m.id, m.address, m.data); }
  Result<void> operator()(cmd::WriteRawPacket& m) {
    auto reply = c.write_raw_packet(m.packet);
    if (!reply) return std::unexpected(std::move(reply.error()));
    if (!m.reply.send(std::move(*reply))) return std::unexpected(ControllerError::text("sending on a closed channel"));
    return {};
  }
};

}  // namespace

Result<void> handle_command(controller::VelmoraMotorController& controller, Cell<TorqueResult>& last_torque,
                            MotorCommand command, std::uint64_t allowed_retries, LoopClock& clock) {
  return std::visit(Executor{controller, last_torque, allowed_retries, clock}, command);
}

}  // namespace velmora::control_loop
