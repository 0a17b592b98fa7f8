#include "motorcom/damiao/driver.hpp"

#include <bit>

#include "common/saturate.hpp"

namespace motorcom::damiao {
namespace {

using Payload = std::array<std::uint8_t, 8>;

constexpr std::uint8_t kReadOp = 0x33;
constexpr std::uint8_t kWriteOp = 0x55;
constexpr std::uint8_t kFeedbackOp = 0xCC;
constexpr auto kModeSettle = std::chrono::milliseconds(100);

CanFrame classic_frame(std::uint32_t id, const Payload& data) {
  return CanFrame{{data.begin(), data.end()}, CanId::standard(id & 0x7FFU), false, false};
}

void put_le32(Payload& p, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) p[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void put_le16(Payload& p, std::size_t at, std::uint16_t v) {
  p[at] = static_cast<std::uint8_t>(v);
  p[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

using velmora::clamp;

// Capped at 10000 (NaN gives 0).
std::uint16_t force_pos_code(float v) { return velmora::saturating_cast<std::uint16_t>(v, 10000); }

Payload pos_vel_payload(const PosVel& c) {
  Payload p{};
  put_le32(p, 0, std::bit_cast<std::uint32_t>(c.position));
  put_le32(p, 4, std::bit_cast<std::uint32_t>(c.velocity));
  return p;
}

Payload vel_payload(const Vel& c) {
  Payload p{};
  put_le32(p, 0, std::bit_cast<std::uint32_t>(c.velocity));
  return p;
}

Payload force_pos_payload(const ForcePos& c) {
  Payload p{};
  put_le32(p, 0, std::bit_cast<std::uint32_t>(c.position));
  put_le16(p, 4, force_pos_code(clamp(c.velocity, 0.0F, 100.0F) * 100.0F));
  put_le16(p, 6, force_pos_code(clamp(c.current, 0.0F, 1.0F) * 10000.0F));
  return p;
}

bool carries_motor_id(const CanFrame& f, std::uint16_t can_id) {
  const auto& d = f.data;
  return !f.rtr && d.size() == 8 && d[0] == static_cast<std::uint8_t>(can_id) &&
         d[1] == static_cast<std::uint8_t>(can_id >> 8);
}

}  // namespace

bool is_register_reply(const CanFrame& f, std::uint16_t can_id) {
  return carries_motor_id(f, can_id) && (f.data[2] == kReadOp || f.data[2] == kWriteOp);
}

bool is_register_read_reply(const CanFrame& f, std::uint16_t can_id, std::uint8_t id) {
  return carries_motor_id(f, can_id) && f.data[2] == kReadOp && f.data[3] == id;
}

PendingReplies::Matcher Damiao::feedback_matcher() const {
  return [expected = reply_id(), id = can_id](const CanFrame& f) {
    return f.id == expected && !f.rtr && !is_register_reply(f, id);
  };
}

Result<MitFeedback> Damiao::cmd_at_arbitration(CanTransport& bus, std::uint16_t arbitration_id,
                                               const std::array<std::uint8_t, 8>& data, const Clock& clock) const {
  PendingReplies pending(bus, clock);
  return decode_feedback(pending.collect(pending.send(classic_frame(arbitration_id, data), feedback_matcher(), timeout)));
}

Result<MitFeedback> Damiao::decode_feedback(const CanResult<CanFrame>& reply) const {
  if (!reply) return std::unexpected(Error::transport(reply.error()));
  auto state = decode_state(limits, reply->data);
  if (!state) return std::unexpected(Error::short_feedback(reply->data.size()));
  return *state;
}

Result<MitFeedback> Damiao::enable(CanTransport& bus, const Clock& clock) const {
  return cmd_at_arbitration(bus, can_id, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}, clock);
}

Result<MitFeedback> Damiao::disable(CanTransport& bus, const Clock& clock) const {
  return cmd_at_arbitration(bus, can_id, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD}, clock);
}

Result<MitFeedback> Damiao::control(CanTransport& bus, const ControlCommand& command, const Clock& clock) const {
  // Offsets of the command kinds' arbitration ids; the sum is cut to 11 bits
  // when the frame is built.
  struct Visitor {
    const Damiao& m;
    std::pair<std::uint32_t, Payload> operator()(const MitCommand& c) const { return {0x000, encode(m.limits, c)}; }
    std::pair<std::uint32_t, Payload> operator()(const PosVel& c) const { return {0x100, pos_vel_payload(c)}; }
    std::pair<std::uint32_t, Payload> operator()(const Vel& c) const { return {0x200, vel_payload(c)}; }
    std::pair<std::uint32_t, Payload> operator()(const ForcePos& c) const { return {0x300, force_pos_payload(c)}; }
  };
  const auto [offset, payload] = std::visit(Visitor{*this}, command);
  return cmd_at_arbitration(bus, static_cast<std::uint16_t>((offset + can_id) & 0x7FFU), payload, clock);
}

Result<MitFeedback> Damiao::request_feedback(CanTransport& bus, const Clock& clock) const {
  return cmd_at_arbitration(bus, kParameterId, feedback_request_payload(), clock);
}

std::size_t Damiao::send_feedback_request(PendingReplies& pending) const {
  return pending.send(classic_frame(kParameterId, feedback_request_payload()), feedback_matcher(), timeout);
}

Result<MitFeedback> Damiao::feedback_reply(PendingReplies& pending, std::size_t request) const {
  return decode_feedback(pending.collect(request));
}

std::array<std::uint8_t, 8> Damiao::feedback_request_payload() const {
  return {static_cast<std::uint8_t>(can_id), static_cast<std::uint8_t>(can_id >> 8), kFeedbackOp, 0, 0, 0, 0, 0};
}

Result<RegisterValue> Damiao::read_register(CanTransport& bus, std::uint8_t id, const Clock& clock) const {
  const RegisterInfo* info = lookup(id);
  if (info == nullptr) return std::unexpected(Error::unknown_register(id));
  const Payload p{static_cast<std::uint8_t>(can_id), static_cast<std::uint8_t>(can_id >> 8), kReadOp, id, 0, 0, 0, 0};
  // Matched by payload: the motor's id bytes, the read and the register.
  const auto answers = [motor = can_id, id](const CanFrame& f) { return is_register_read_reply(f, motor, id); };
  PendingReplies pending(bus, clock);
  auto reply = pending.collect(pending.send(classic_frame(kParameterId, p), answers, timeout));
  if (!reply) return std::unexpected(Error::transport(reply.error()));
  const auto& d = reply->data;
  const std::uint32_t bits = static_cast<std::uint32_t>(d[4]) | static_cast<std::uint32_t>(d[5]) << 8 |
                             static_cast<std::uint32_t>(d[6]) << 16 | static_cast<std::uint32_t>(d[7]) << 24;
  return RegisterValue{info->kind, bits};
}

Result<void> Damiao::write_register(CanTransport& bus, std::uint8_t id, RegisterValue value) const {
  const RegisterInfo* info = lookup(id);
  if (info == nullptr) return std::unexpected(Error::unknown_register(id));
  if (!info->writable) return std::unexpected(Error::read_only(id));
  if (value.kind != info->kind) return std::unexpected(Error::type_mismatch(info->kind, value.kind, id));
  Payload p{static_cast<std::uint8_t>(can_id), static_cast<std::uint8_t>(can_id >> 8), kWriteOp, id, 0, 0, 0, 0};
  put_le32(p, 4, value.bits);
  if (auto sent = bus.send(classic_frame(kParameterId, p)); !sent) return std::unexpected(Error::transport(sent.error()));
  return {};
}

Result<void> Damiao::ensure_control_mode(CanTransport& bus, std::uint8_t mode, const Sleep& sleep,
                                         const Clock& clock) const {
  auto current = read_register(bus, kCtrlModeRegister, clock);
  if (!current) return std::unexpected(current.error());
  // The register table makes CTRL_MODE a Uint32, so the value is one.
  if (current->as_uint32() == mode) return {};

  if (auto written = write_register(bus, kCtrlModeRegister, RegisterValue::from_uint32(mode)); !written)
    return std::unexpected(written.error());
  sleep(kModeSettle);

  auto after = read_register(bus, kCtrlModeRegister, clock);
  if (!after) return std::unexpected(after.error());
  if (after->as_uint32() == mode) return {};
  return std::unexpected(Error::mode_verification(mode, static_cast<std::uint8_t>(after->as_uint32() & 0xFFU)));
}

}  // namespace motorcom::damiao
