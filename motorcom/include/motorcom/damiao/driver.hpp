#pragma once
// One Damiao motor driven over a CanTransport. The driver keeps no state of
// the motor; the record is configuration only.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>
#include <variant>

#include "motorcom/can.hpp"
#include "motorcom/damiao/error.hpp"
#include "motorcom/damiao/mit.hpp"
#include "motorcom/damiao/registers.hpp"

namespace motorcom::damiao {

inline constexpr std::uint16_t kParameterId = 0x7FF;
inline constexpr std::uint8_t kCtrlModeRegister = 10;
// CTRL_MODE's values: mode n is kControlModeNames[n - 1], the order of
// ControlCommand's alternatives.
inline constexpr std::uint8_t kMitMode = 1;
inline constexpr std::array<std::string_view, 4> kControlModeNames{"MIT", "position-velocity", "velocity",
                                                                   "force-position"};

struct PosVel {
  float position;
  float velocity;
};
struct Vel {
  float velocity;
};
struct ForcePos {
  float position;
  float velocity;
  float current;
};
using ControlCommand = std::variant<MitCommand, PosVel, Vel, ForcePos>;

// What a frame on a motor's feedback id is, by its layout. A motor answers
// register reads (and may echo writes) on the same id as its feedback: such a
// reply has the motor's id in bytes 0-1 and the operation (0x33 read, 0x55
// write) in byte 2, where feedback has status and id in byte 0 and the
// position in bytes 1-2. Only the feedback of a disabled motor whose position
// code is 0x0033 or 0x0055 (about -12.48 rad, the end of the range) looks the
// same; it is taken for a register reply.
bool is_register_reply(const CanFrame& frame, std::uint16_t can_id);
// A reply to a read of register `id` of this motor.
bool is_register_read_reply(const CanFrame& frame, std::uint16_t can_id, std::uint8_t id);

// How a driver operation that must wait spends the time: the caller's own
// sleep, so its tests can stand in for it. Never empty.
using Sleep = std::function<void(std::chrono::milliseconds)>;

struct Damiao {
  std::chrono::nanoseconds timeout;
  MitLimits limits;
  std::uint16_t can_id;
  std::uint16_t master_id;

  // Every operation that waits for a reply measures its time-out on `clock`
  // (empty: the steady clock).
  Result<MitFeedback> enable(CanTransport& bus, const Clock& clock = {}) const;
  Result<MitFeedback> disable(CanTransport& bus, const Clock& clock = {}) const;
  Result<MitFeedback> control(CanTransport& bus, const ControlCommand& command, const Clock& clock = {}) const;
  Result<MitFeedback> request_feedback(CanTransport& bus, const Clock& clock = {}) const;
  // The feedback request as one of several in flight: sent now, its reply
  // taken later (in any order with the others') by feedback_reply.
  std::size_t send_feedback_request(PendingReplies& pending) const;
  Result<MitFeedback> feedback_reply(PendingReplies& pending, std::size_t request) const;
  Result<MitFeedback> cmd_at_arbitration(CanTransport& bus, std::uint16_t arbitration_id,
                                         const std::array<std::uint8_t, 8>& data, const Clock& clock = {}) const;
  Result<RegisterValue> read_register(CanTransport& bus, std::uint8_t id, const Clock& clock = {}) const;
  Result<void> write_register(CanTransport& bus, std::uint8_t id, RegisterValue value) const;
  // Reads CTRL_MODE; when it differs, writes it, waits 100 ms (through sleep)
  // and reads it back.
  Result<void> ensure_control_mode(CanTransport& bus, std::uint8_t mode, const Sleep& sleep,
                                   const Clock& clock = {}) const;

 private:
  CanId reply_id() const { return CanId::standard(master_id & 0x7FFU); }
  // Feedback of this motor: a data frame on its feedback id that is not a
  // register reply.
  PendingReplies::Matcher feedback_matcher() const;
  std::array<std::uint8_t, 8> feedback_request_payload() const;
  Result<MitFeedback> decode_feedback(const CanResult<CanFrame>& reply) const;
};

}  // namespace motorcom::damiao
