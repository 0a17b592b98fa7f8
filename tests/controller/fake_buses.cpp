#include "fake_buses.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numbers>

namespace velmora::controller::testing {
namespace {

constexpr std::uint8_t kPing = 0x01, kRead = 0x02, kWrite = 0x03, kReboot = 0x08, kSyncRead = 0x82,
                       kSyncWrite = 0x83;
constexpr std::uint8_t kOffsetAddress = 31, kPresentAddress = 56;

std::uint8_t checksum(std::span<const std::uint8_t> bytes) {
  unsigned sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  return static_cast<std::uint8_t>(~sum & 0xFF);
}

double offset_radians(std::uint16_t raw) {
  const double magnitude = (raw & 0x7FF) * std::numbers::pi / 2047.0;
  return (raw & 0xF800) == 0x0800 ? -magnitude : magnitude;
}

class CaptureSink final : public log::Sink {
 public:
  bool enabled(log::Level, std::string_view) noexcept override { return true; }
  void write(log::Level level, std::string_view target, std::string_view message, const char* file,
             unsigned line) noexcept override {
    std::lock_guard lock(mutex);
    records.push_back({level, std::string(target), std::string(message), file != nullptr ? file : "", line});
  }
  std::mutex mutex;
  std::vector<LogRecord> records;
};

CaptureSink& capture() {
  static CaptureSink* sink = [] {
    auto* s = new CaptureSink;
    log::set_sink(s);
    return s;
  }();
  return *sink;
}

}  // namespace

std::vector<LogRecord> take_log() {
  auto& sink = capture();
  std::lock_guard lock(sink.mutex);
  return std::exchange(sink.records, {});
}

void set_u16(ServoBusState& s, std::uint8_t id, std::uint8_t address, std::uint16_t value) {
  s.registers[id][address] = static_cast<std::uint8_t>(value & 0xFF);
  s.registers[id][address + 1u] = static_cast<std::uint8_t>(value >> 8);
}

std::uint16_t get_u16(const ServoBusState& s, std::uint8_t id, std::uint8_t address) {
  return static_cast<std::uint16_t>(s.registers[id][address] | (s.registers[id][address + 1u] << 8));
}

servocom::Result<std::size_t> FakeServoPort::bytes_waiting() { return s_->rx.size(); }

servocom::Result<void> FakeServoPort::read_exact(std::span<std::uint8_t> buf) {
  if (s_->rx.size() < buf.size()) {
    s_->rx.clear();
    return std::unexpected(servocom::Error::io(servocom::IoKind::TimedOut, "Operation timed out"));
  }
  for (auto& b : buf) {
    b = s_->rx.front();
    s_->rx.pop_front();
  }
  return {};
}

servocom::Result<void> FakeServoPort::write_all(std::span<const std::uint8_t> data) {
  if (s_->fail_writes) return std::unexpected(servocom::Error::io(servocom::IoKind::Other, "Broken pipe"));
  const bool framed = data.size() >= 6 && data[0] == 0xFF && data[1] == 0xFF && data[3] + 4u == data.size() &&
                      checksum(data.subspan(2, data.size() - 3)) == data.back();
  if (framed) {
    Packet p{data[2], data[4], std::vector<std::uint8_t>(data.begin() + 5, data.end() - 1)};
    s_->received.push_back(p);
    if (s_->on_packet) s_->on_packet(p);
    answer(p);
  }
  s_->rx.insert(s_->rx.end(), s_->next_extra.begin(), s_->next_extra.end());
  s_->next_extra.clear();
  return {};
}

void FakeServoPort::reply(std::uint8_t id, std::vector<std::uint8_t> data) {
  if (!s_->present.contains(id)) return;
  if (silent_[id] != 0) {
    if (silent_[id] > 0) --silent_[id];
    return;
  }
  std::vector<std::uint8_t> packet{0xFF, 0xFF, id, static_cast<std::uint8_t>(data.size() + 2), 0x00};
  packet.insert(packet.end(), data.begin(), data.end());
  packet.push_back(checksum(std::span(packet).subspan(2)));
  s_->rx.insert(s_->rx.end(), packet.begin(), packet.end());
}

std::vector<std::uint8_t> FakeServoPort::read_registers(std::uint8_t id, std::uint8_t address,
                                                        std::uint8_t length) const {
  auto regs = s_->registers[id];
  // Present position follows the encoder and the stored offset.
  const double offset = offset_radians(get_u16(*s_, id, kOffsetAddress));
  const double present = s_->inverted_offset ? s_->encoder[id] + offset : s_->encoder[id] - offset;
  // A 12-bit encoder: present position wraps into one turn.
  const long steps = std::lround(present * 4096.0 / (2 * std::numbers::pi) + 2048.0);
  const auto raw = static_cast<std::int16_t>(((steps % 4096) + 4096) % 4096);
  regs[kPresentAddress] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(raw) & 0xFF);
  regs[kPresentAddress + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(raw) >> 8);
  return std::vector<std::uint8_t>(regs.begin() + address, regs.begin() + address + length);
}

void FakeServoPort::answer(const Packet& p) {
  switch (p.instruction) {
    case kPing:
      reply(p.id, {});
      break;
    case kReboot:
      reply(p.id, {});
      silent_[p.id] = s_->silent_after_reboot[p.id];
      break;
    case kRead:
      reply(p.id, read_registers(p.id, p.params[0], p.params[1]));
      break;
    case kWrite:
      std::copy(p.params.begin() + 1, p.params.end(), s_->registers[p.id].begin() + p.params[0]);
      reply(p.id, {});
      break;
    case kSyncRead:
      for (std::size_t i = 2; i < p.params.size(); ++i) {
        reply(p.params[i], read_registers(p.params[i], p.params[0], p.params[1]));
      }
      break;
    case kSyncWrite: {
      const std::size_t width = p.params[1];
      for (std::size_t at = 2; at + width < p.params.size() + 1; at += width + 1) {
        const std::uint8_t id = p.params[at];
        std::copy_n(p.params.begin() + static_cast<std::ptrdiff_t>(at + 1), width,
                    s_->registers[id].begin() + p.params[0]);
      }
      break;
    }
    default:
      break;
  }
}

// ---- neck ----

double quantized_neck_position(double radians) {
  const double code = std::clamp(std::round((radians + 12.5) * 65535.0 / 25.0), 0.0, 65535.0);
  return static_cast<double>(static_cast<float>(code) * 25.0F / 65535.0F - 12.5F);
}

void FakeNeckBus::feedback(std::uint16_t id) {
  const auto& m = s_->motors[id];
  if (m.silent) return;
  const auto code = static_cast<std::uint16_t>(std::clamp(std::round((m.position + 12.5) * 65535.0 / 25.0), 0.0, 65535.0));
  s_->replies.push_back(motorcom::CanFrame{{static_cast<std::uint8_t>(id | 0x10), static_cast<std::uint8_t>(code >> 8),
                                          static_cast<std::uint8_t>(code & 0xFF), 0x80, 0x07, 0xFF, 30, 32},
                                         motorcom::CanId::standard(id), false, false});
}

motorcom::CanResult<void> FakeNeckBus::send(const motorcom::CanFrame& frame) {
  s_->sent.push_back(frame);
  const auto& d = frame.data;
  const auto id = static_cast<std::uint16_t>(frame.id.value);
  if (id >= 1 && id <= 3 && d.size() == 8) {
    auto& m = s_->motors[id];
    const bool special = std::all_of(d.begin(), d.begin() + 7, [](std::uint8_t b) { return b == 0xFF; });
    if (special && d[7] == 0xFC) {
      m.enabled = !m.silent || m.enabled;
    } else if (special && d[7] == 0xFD) {
      m.enabled = false;
    } else {
      const double goal = (d[0] << 8 | d[1]) * 25.0 / 65535.0 - 12.5;
      s_->mit.push_back({id, goal, static_cast<std::uint16_t>((d[3] & 0x0F) << 8 | d[4]),
                         static_cast<std::uint16_t>(d[5] << 4 | d[6] >> 4)});
      if (!m.blocked && !m.silent) m.position = goal;
      if (m.mute_commands) return {};
    }
    feedback(id);
  } else if (id == 0x7FF && d.size() == 8 && d[0] >= 1 && d[0] <= 3) {
    auto& m = s_->motors[d[0]];
    if (d[2] == 0xCC) {
      feedback(d[0]);
    } else if (d[2] == 0x33 && !m.silent) {
      const std::uint32_t v = d[3] == 10 ? m.mode : 0;
      s_->replies.push_back(motorcom::CanFrame{{d[0], 0, 0x33, d[3], static_cast<std::uint8_t>(v & 0xFF), 0, 0, 0},
                                               motorcom::CanId::standard(d[0]), false, false});
    } else if (d[2] == 0x55 && d[3] == 10 && !m.refuse_mode && !m.silent) {
      m.mode = d[4];
    }
  }
  return {};
}

motorcom::CanResult<motorcom::CanFrame> FakeNeckBus::recv(std::chrono::nanoseconds) {
  if (s_->replies.empty()) return std::unexpected(motorcom::CanError::timeout());
  auto frame = s_->replies.front();
  s_->replies.pop_front();
  return frame;
}

Rig::Rig(bool serial) {
  std::unique_ptr<servocom::Port> port;
  if (serial) port = std::make_unique<FakeServoPort>(servos);
  auto c = clock;
  controller = std::make_unique<VelmoraMotorController>(
      std::move(port), std::make_unique<FakeNeckBus>(neck),
      [c](std::chrono::microseconds d) {
        c->now += d;
        c->sleeps.push_back(d);
      },
      [c] { return c->now; });
  take_log();
}

}  // namespace velmora::controller::testing
